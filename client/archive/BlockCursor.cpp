#include "client/archive/BlockCursor.h"

#include "client/archive/FragmentTally.h"

#include <QFile>
#include <QtDebug>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace archive {

namespace {
// Reads of this size keep the system calls few and the window in the
// processor's cache while its blocks are checked and copied out. Reading
// (rather than mapping the file) also spares a page-table update for every
// page read, which costs more than the copy on virtual machines. The reads
// run on the queue's own thread, so their number matters less than the
// memory they hold.
constexpr int64_t kWindowBytes = 256 << 10;
}  // namespace

BlockCursor::BlockCursor(std::shared_ptr<const ArchiveFolder> archive, int64_t timeMs)
    : _archive(std::move(archive))
{
    const ArchiveFolder::Position position = _archive->feedPosition(timeMs);
    _fragment = position.fragment;
    if (_fragment >= _archive->fragments().size())
        return;
    _file = _archive->fragments()[_fragment];
    const QString path = _file->dataPath();
    _fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (_fd < 0) {
        qWarning("archive: cannot open %s: %s", qPrintable(path), std::strerror(errno));
        return;
    }
    ::posix_fadvise(_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    _offsetBytes = position.offsetBytes;
    _endBytes = _file->summary().dataEndBytes;
    _state = State::Blocks;
}

BlockCursor::~BlockCursor() { closeFile(); }

void BlockCursor::closeFile()
{
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
    _window = QByteArray();
    _windowSizeBytes = 0;
}

void BlockCursor::fillWindow(int64_t wantBytes)
{
    const int64_t sizeBytes = std::min(std::max(wantBytes, kWindowBytes), _endBytes - _offsetBytes);
    if (_window.size() < sizeBytes)
        _window = QByteArray(qsizetype(sizeBytes), Qt::Uninitialized);
    _windowStartBytes = _offsetBytes;
    _windowSizeBytes = 0;
    while (_windowSizeBytes < sizeBytes) {
        const ssize_t n = ::pread(_fd, _window.data() + _windowSizeBytes, size_t(sizeBytes - _windowSizeBytes),
                                  _windowStartBytes + _windowSizeBytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {  // read error, or the file shrank: the block shows as cut off
            if (n < 0)
                qWarning("archive: cannot read %s: %s", qPrintable(_file->dataPath()), std::strerror(errno));
            break;
        }
        _windowSizeBytes += n;
    }
}

BlockCheck BlockCursor::checkNextBlock(BlockView *block)
{
    // A block reaching past the window is read again from its start: once to
    // learn its size when its header is cut too, once more to hold it whole.
    for (int refills = 0;; ++refills) {
        const int64_t inWindow = _offsetBytes - _windowStartBytes;
        const bool inside = inWindow >= 0 && inWindow <= _windowSizeBytes;
        const BlockCheck check =
            inside ? checkBlockAt(_window.constData(), _windowSizeBytes, inWindow, block) : BlockCheck::End;
        if (check == BlockCheck::Ok) {
            block->nextOffsetBytes += _windowStartBytes;
            return check;
        }
        const bool reachesEnd = _windowStartBytes + _windowSizeBytes >= _endBytes;
        if (check == BlockCheck::BadHeader || check == BlockCheck::BadPayload || (inside && reachesEnd) || refills == 2)
            return check == BlockCheck::End ? BlockCheck::CutOff : check;
        const bool headerRead = inside && _windowSizeBytes - inWindow >= format::kBlockHeaderSizeBytes;
        fillWindow(headerRead ? format::kBlockHeaderSizeBytes + int64_t(block->header.payloadSizeBytes) : 0);
    }
}

bool BlockCursor::next(Block *out)
{
    if (_state == State::Done)
        return false;
    if (_state == State::Blocks) {
        BlockView block;
        const BlockCheck check = _offsetBytes < _endBytes ? checkNextBlock(&block) : BlockCheck::End;
        if (check == BlockCheck::Ok) {
            out->streamNumber = block.header.streamNumber;
            out->key = isKeyBlock(block.header.flags, block.header.streamNumber);
            out->timeMs = block.header.timeMs;
            out->payload = QByteArray(block.payload, qsizetype(block.header.payloadSizeBytes));
            _offsetBytes = block.nextOffsetBytes;
            ++_blocksTaken;
            return true;
        }
        if (check != BlockCheck::End)
            _file->reportDamage(_offsetBytes, check);
        // Done with this fragment.
        closeFile();
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
