// Controller::shouldStartNewFile: whether a block must begin a new output
// file. The rules are tried in order; the first that decides wins.
#include "plugin/export/Controller.h"
#include "plugin/export/StreamInfo.h"

#include <QtDebug>

namespace {
constexpr int64_t kMaxPauseInFileMs = 2000;
constexpr int64_t kBytesPerMb = 1048576;
}  // namespace

bool Controller::shouldStartNewFile(const BlockHeader &header, const QByteArray &data)
{
    // The first block of a file is never split off.
    if (_lastTime == kNoTimeMs)
        return false;
    if (header.time < _lastTime) {
        if (_debugLevel != 0)
            qDebug() << "::shouldStartNewFile: timestamps are not monotonic";
        return true;
    }
    if (!_limitEnabled) {
        if (header.time > _lastTime + kMaxPauseInFileMs) {
            if (_debugLevel != 0)
                qDebug() << "::shouldStartNewFile: new file for each new fragment";
            return true;
        }
    } else if (_limitMb != 0 && _bytesWritten >= int64_t(_limitMb) * kBytesPerMb) {
        if (!header.isKey())
            return false;
        // Over the limit the file ends at the next video key frame, or at the
        // next key block of a file without video. A file that began at an
        // audio block between two key frames would begin with pictures whose
        // key frame is in the file before, and the rewind to its first block
        // drops video earlier than that block.
        if (header.streamNumber == kVideoStream || !(_streamInfo && _streamInfo->describesVideo())) {
            if (_debugLevel != 0)
                qDebug() << "::shouldStartNewFile: max file size reached, splitting...";
            return true;
        }
    }
    if (!header.isKey())
        return false;
    if (data.size() < 4) {
        if (_debugLevel != 0)
            qDebug() << "::shouldStartNewFile: no fourcc - it's an error";
        return true;
    }
    const auto previous = _fourccs.constFind(header.streamNumber);
    if (previous == _fourccs.constEnd() || previous->isEmpty())
        return false;
    if (leadingFourcc(data) == *previous)
        return false;
    if (_debugLevel != 0)
        qDebug() << "::shouldStartNewFile: previous fourcc is not equal the current one";
    return true;
}
