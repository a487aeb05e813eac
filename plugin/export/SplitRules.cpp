// Controller::shouldStartNewFile: whether a block must begin a new output
// file. The rules are tried in order; the first that decides wins.
#include "plugin/export/Controller.h"
#include "plugin/export/StreamInfo.h"

#include <QtDebug>

namespace {
constexpr int64_t kMaxPauseInFileMs = 2000;
constexpr int64_t kBytesPerMb = 1048576;
}  // namespace

bool Controller::shouldStartNewFile(const BlockHeader &header, const QByteArray &data, ExportRecord::Began *cause)
{
    // A rule that splits says why, for the record and the debug output.
    const auto split = [&](ExportRecord::Began why, const char *line) {
        if (cause)
            *cause = why;
        if (_debugLevel != 0)
            qDebug() << line;
        return true;
    };
    // The first block of a file is never split off.
    if (_lastTime == kNoTimeMs)
        return false;
    if (header.time < _lastTime)
        return split(ExportRecord::Began::TimeWentBack, "::shouldStartNewFile: timestamps are not monotonic");
    if (!_limitEnabled) {
        if (header.time > _lastTime + kMaxPauseInFileMs)
            return split(ExportRecord::Began::NewRecording, "::shouldStartNewFile: new file for each new fragment");
    } else if (_limitMb != 0 && _bytesWritten >= int64_t(_limitMb) * kBytesPerMb) {
        if (!header.isKey())
            return false;
        // Over the limit the file ends at the next video key frame, or at the
        // next key block of a file without video: a size split never makes a
        // file begin with pictures whose key frame is in the file before.
        if (header.streamNumber == kVideoStream || !(_streamInfo && _streamInfo->describesVideo()))
            return split(ExportRecord::Began::SizeLimit, "::shouldStartNewFile: max file size reached, splitting...");
    }
    if (!header.isKey())
        return false;
    if (data.size() < 4)
        return split(ExportRecord::Began::CodecChange, "::shouldStartNewFile: no fourcc - it's an error");
    const auto previous = _fourccs.constFind(header.streamNumber);
    if (previous == _fourccs.constEnd() || previous->isEmpty())
        return false;
    if (leadingFourcc(data) == *previous)
        return false;
    return split(ExportRecord::Began::CodecChange, "::shouldStartNewFile: previous fourcc is not equal the current one");
}
