#include "client/app/ArchivePlayer.h"

#include "client/archive/Format.h"
#include "plugin/host/Guids.h"

namespace clientapp {

namespace {
constexpr int kTickMs = 10;
// Bounds one tick's work, so that catching up after a seek (decoding from
// the key frame before the target) cannot freeze the window for long.
constexpr int kMaxBlocksPerTick = 400;
}  // namespace

ArchivePlayer::ArchivePlayer(const ComponentRef<IArchiveVideoSource> &source, QObject *parent) : QObject(parent)
{
    if (source) {
        ComponentRef<IVideoSource> video = source->videoSource();
        if (video)
            _reader = video->archiveReader();
    }
    if (_reader) {
        if (ComponentRef<IFragmentIndex> index = _reader->fragmentIndex()) {
            int status = 0;
            index->fragments(&_fragments, &status);
        }
        _blockSource = _reader->blockSource();
    }
    _timer.setInterval(kTickMs);
    connect(&_timer, &QTimer::timeout, this, &ArchivePlayer::tick);
    if (!_fragments.empty())
        seek(_fragments.front().start);
}

int64_t ArchivePlayer::positionMs() const
{
    return _playing ? _clockBaseMs + _clock.elapsed() : _clockBaseMs;
}

void ArchivePlayer::setClock(int64_t timeMs)
{
    _clockBaseMs = timeMs;
    _clock.restart();
}

void ArchivePlayer::play()
{
    if (_playing || _fragments.empty())
        return;
    if (_atEnd)
        seek(_fragments.front().start);
    _playing = true;
    setClock(_clockBaseMs);
    _timer.start();
    emit playingChanged(true);
}

void ArchivePlayer::pause()
{
    if (!_playing)
        return;
    _clockBaseMs = positionMs();
    _playing = false;
    _timer.stop();
    emit playingChanged(false);
}

void ArchivePlayer::togglePlay()
{
    if (_playing)
        pause();
    else
        play();
}

int64_t ArchivePlayer::clampToRecording(int64_t timeMs) const
{
    for (const Fragment &fragment : _fragments) {
        if (timeMs < fragment.start)
            return fragment.start;
        if (timeMs < fragment.end)
            return timeMs;
    }
    return _fragments.empty() ? timeMs : _fragments.back().end - 1;
}

void ArchivePlayer::seek(qint64 timeMs)
{
    if (_fragments.empty())
        return;
    const int64_t target = clampToRecording(timeMs);
    _atEnd = false;
    _decoder.flush();
    feed(target);
    setClock(target);
    tick();
}

void ArchivePlayer::feed(int64_t timeMs)
{
    _pending = false;
    _next = Block();
    _queue.reset();
    if (!_blockSource)
        return;
    _queue = ComponentRef<IEncodedDataQueue>(guids::kEncodedDataQueue);
    if (!_queue)
        return;
    // The set-up every new queue gets (the stand-in's queue reads straight
    // from the archive and needs no limits, but a client's may).
    _queue->setMaxBlocks(256);
    _queue->setMaxBytes(16 << 20);
    _queue->setMode(0);
    _cursor = ReadCursor{0, 0, true};
    _blockSource->feed(timeMs, _queue);
}

bool ArchivePlayer::readNext()
{
    if (!_queue)
        return false;
    int64_t scratch = 0;
    _pending = _queue->readBlock(&_next.data, &_next.streamNumber, &_next.key, &_next.timeMs, &scratch, &_cursor, 0,
                                 1, nullptr, nullptr);
    return _pending;
}

void ArchivePlayer::tick()
{
    QImage picture;
    bool newPicture = false;
    for (int handled = 0; handled < kMaxBlocksPerTick; ++handled) {
        if (!_pending && !readNext())
            break;
        const bool marker = _next.streamNumber == 0 && _next.data.isEmpty();
        if (marker) {
            // The end of a fragment: jump the gap, or stop after the last.
            const int64_t resumeMs = _next.timeMs;
            // The queue's marker after the last fragment carries the end-marker time.
            if (resumeMs >= archive::format::kEndMarkerTimeMs) {
                _pending = false;
                _atEnd = true;
                _clockBaseMs = _fragments.back().end - 1;
                if (_playing) {
                    _playing = false;
                    _timer.stop();
                    emit playingChanged(false);
                }
                break;
            }
            feed(resumeMs);
            setClock(resumeMs);
            continue;
        }
        if (_next.timeMs > positionMs())
            break;
        if (_next.streamNumber == 0 && _decoder.decode(_next.data))
            newPicture = true;
        _pending = false;
    }
    if (newPicture && _decoder.takePicture(&picture))
        emit pictureChanged(picture);
    emit positionChanged(positionMs());
}

}  // namespace clientapp
