#include "client/archive/BlockCursor.h"

#include "client/archive/FragmentTally.h"

#include <QtDebug>

namespace archive {

namespace {
// Read-ahead and drop-behind granularity: memory stays near three windows per
// cursor however long the fragment.
constexpr int64_t kWindowBytes = 8 << 20;
}  // namespace

BlockCursor::BlockCursor(std::shared_ptr<const ArchiveFolder> archive, int64_t timeMs)
    : _archive(std::move(archive))
{
    const ArchiveFolder::Position position = _archive->feedPosition(timeMs);
    _fragment = position.fragment;
    if (_fragment >= _archive->fragments().size())
        return;
    _file = _archive->fragments()[_fragment];
    QString error;
    _data = _file->data(&error);
    if (!_data) {
        qWarning("archive: %s", qPrintable(error));
        return;
    }
    _offsetBytes = position.offsetBytes;
    _endBytes = _file->summary().dataEndBytes;
    _state = State::Blocks;
}

BlockCursor::~BlockCursor() { dropAdvisedWindows(); }

void BlockCursor::dropAdvisedWindows()
{
    if (_advisedWindow >= 0)
        _data->dontNeed((_advisedWindow - 2) * kWindowBytes, 4 * kWindowBytes);
    _advisedWindow = -1;
}

void BlockCursor::advise()
{
    const int64_t window = _offsetBytes / kWindowBytes;
    if (window == _advisedWindow)
        return;
    if (_advisedWindow < 0)
        _data->willNeed(window * kWindowBytes, kWindowBytes);
    _data->willNeed((window + 1) * kWindowBytes, kWindowBytes);
    if (window >= 2)
        _data->dontNeed((window - 2) * kWindowBytes, kWindowBytes);
    _advisedWindow = window;
}

bool BlockCursor::next(Block *out)
{
    if (_state == State::Done)
        return false;
    if (_state == State::Blocks) {
        BlockView block;
        const BlockCheck check =
            _offsetBytes < _endBytes ? checkBlockAt(_data->data(), _data->sizeBytes(), _offsetBytes, &block) : BlockCheck::End;
        if (check == BlockCheck::Ok) {
            advise();
            out->streamNumber = block.header.streamNumber;
            out->key = isKeyBlock(block.header.flags, block.header.streamNumber, _file->hasVideo());
            out->timeMs = block.header.timeMs;
            out->payload = QByteArray::fromRawData(block.payload, qsizetype(block.header.payloadSizeBytes));
            _offsetBytes = block.nextOffsetBytes;
            ++_blocksTaken;
            return true;
        }
        if (check != BlockCheck::End)
            _file->reportDamage(_offsetBytes, check);
        // Done with this fragment: its pages need not stay in this process.
        dropAdvisedWindows();
        _state = State::Marker;
    }
    out->streamNumber = 0;
    out->key = false;
    out->timeMs = _archive->markerTimeAfter(_fragment);
    out->payload = QByteArray();
    _state = State::Done;
    return true;
}

}  // namespace archive
