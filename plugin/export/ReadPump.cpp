// The read pump: Controller::timerEvent and its steps. Runs on the worker
// thread each time the zero-interval timer fires and drains the queue:
// gathers the stream description of the next file, opens it, rewinds to the
// file's first block and writes blocks until the period ends, an error
// happens or the stop flag is seen. A file split off at any block begins
// with that very block, so nothing is written twice or left out.
#include "plugin/export/ChunkFile.h"
#include "plugin/export/Controller.h"
#include "plugin/export/Events.h"
#include "plugin/export/StreamInfo.h"

#include <QMutexLocker>
#include <QTimerEvent>
#include <QtDebug>
#include <cassert>

namespace {
// Step by which the position moves over a stretch without video.
constexpr int64_t kStepMs = 40;
}  // namespace

void Controller::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != _timerId) {
        if (_timerId != 0)
            killTimer(_timerId);
        _timerId = 0;
        closeCurrentFile();
        _closer.drain();
        return;
    }

    // Reused for every block of this event.
    QByteArray data;
    BlockHeader header{0, 0, 0};
    for (;;) {
        bool stopped;
        {
            QMutexLocker lock(&_mutex);
            stopped = _stop;
        }
        if (stopped) {
            exitPump(data);
            return;
        }
        _closer.poll();
        // A finished file that could not be named or entered ends the export.
        const QString failure = _closer.takeFailure();
        if (!failure.isEmpty()) {
            postError(failure);
            exitPump(data);
            return;
        }
        Pass pass = Pass::Next;
        if (!_blockRead)
            pass = read(data, header);
        if (pass == Pass::Next && _blockRead)
            pass = _gatheringInfo ? gather(header, data) : write(header, data);
        if (pass == Pass::Return)
            return;
        if (pass == Pass::Exit) {
            exitPump(data);
            return;
        }
    }
}

Controller::Pass Controller::read(QByteArray &data, BlockHeader &header)
{
    if (!_queue)
        return fail();
    uint32_t streamNumber = 0;
    bool key = false;
    int64_t time = 0;
    int64_t scratch = 0;
    if (!_queue->readBlock(&data, &streamNumber, &key, &time, &scratch, &_readCursor, 0, 1, nullptr, nullptr))
        return Pass::Return;
    if (_debugLevel != 0)
        qDebug() << "!DATA SIZE=" << int(data.size()) << " dts=" << time << " key=" << key << " prev=" << _maxVideoTime
                 << " StreamNo" << streamNumber;

    if (streamNumber == 0) {
        if (!_videoRead && !data.isEmpty()) {
            _videoRead = true;
            if (key && time != kNoTimeMs && time < _maxVideoTime)
                beginAtKeyFrame(time);
        }
        if (time != kNoTimeMs) {
            if (time >= _maxVideoTime) {
                _position = time;
            } else if (!_blockWritten || data.isEmpty()) {
                // The video went backwards before anything was written: drop
                // the block and step on. Once blocks are written, a picture
                // older than the latest video time is one stored late: it goes
                // on to the splitting rules, which begin a file at it.
                data.clear();
                _position += kStepMs;
            }
        }
        if (data.isEmpty())
            return emptyBlock(time);
        if (_maxVideoTime < _position)
            _maxVideoTime = _position;
    }

    header.flags = key ? 1 : 0;
    header.streamNumber = uint8_t(streamNumber & 0xff);
    header.time = time;
    if (time > _end) {
        if (readyAtEnd())
            return openAndRewind();
        postReport(ControllerEvent::Finished, 0);
        return Pass::Exit;
    }
    _blockRead = true;
    return Pass::Next;
}

Controller::Pass Controller::emptyBlock(int64_t blockTimeMs)
{
    if (_debugLevel != 0)
        qDebug() << "!streamNo && data.isEmpty()";
    if (_keepingBlock && !_gatheringInfo) {
        // The feed ended before the kept block came again (the archive
        // changed under the export): the file begins at the next block read.
        qWarning("block at %lld ms of stream %u that began a file was not read again; the file begins after it",
                 static_cast<long long>(_keptHeader.time), unsigned(_keptHeader.streamNumber));
        _keepingBlock = false;
        _keptData = QByteArray();
    }
    _readCursor = ReadCursor{0, 0, true};
    makeQueue();
    if (_position >= _end) {
        if (readyAtEnd())
            return openAndRewind();
        postReport(ControllerEvent::Finished, 0);
        return Pass::Exit;
    }
    if (blockTimeMs == kNoTimeMs) {
        // The source has nothing at this position: step on with a fresh source.
        _position += kStepMs;
        if (_position > _end) {
            if (readyAtEnd())
                return openAndRewind();
            postReport(ControllerEvent::Finished, 0);
            return Pass::Exit;
        }
        _blockSource.reset();
        _blockSource = _reader->blockSource();
    }
    if (!feedQueue(_position))
        return fail();
    return Pass::Next;
}

Controller::Pass Controller::gather(const BlockHeader &header, const QByteArray &data)
{
    if (!_streamInfo)
        _streamInfo = new StreamInfo(_manager);
    _streamInfo->gather(header, data);
    if (_debugLevel != 0)
        qDebug() << "_gatheringInfo && _blockRead time=" << header.time << " data.size=" << int(data.size());
    if (!_streamInfo->isReady()) {
        _blockRead = false;
        return Pass::Next;
    }
    return openAndRewind();
}

Controller::Pass Controller::openAndRewind()
{
    QString failure;
    _currentFile = ChunkFile::openChunk(_dir, _streamInfo, _receiver, &failure);
    if (_currentFile) {
        _currentFile->setRecord(_record.get());
        _currentFile->setCloser(&_closer);
        _currentFile->setBegan(_nextBegan);
    }
    if (!_currentFile) {
        delete _streamInfo;
        _streamInfo = nullptr;
        postError(failure);
        return Pass::Exit;
    }
    if (_debugLevel != 0)
        qDebug() << "Info gathered, fragment start=" << _fragmentStart << " , cur abs=" << _position;

    // The gathered blocks are read again, from the file's first block on:
    // from the key frame at or before the period's start, or, after a split,
    // from the block that split it off (kept, and found by identity).
    _gatheringInfo = false;
    _readCursor = ReadCursor{0, 0, true};
    _lastTime = kNoTimeMs;
    _position = _fragmentStart;
    _maxVideoTime = _fragmentStart;
    makeQueue();
    if (!feedQueue(_position))
        return fail();
    _blockRead = false;
    return Pass::Next;
}

Controller::Pass Controller::write(const BlockHeader &header, const QByteArray &data)
{
    assert(_currentFile);
    if (_keepingBlock) {
        // After a split the file begins at the kept block: what the rewind
        // brings before it went into the file before.
        if (!isKeptBlock(header, data)) {
            _blockRead = false;
            return Pass::Next;
        }
        _keepingBlock = false;
        _keptData = QByteArray();
    }
    ExportRecord::Began cause = ExportRecord::Began::PeriodStart;
    if (shouldStartNewFile(header, data, &cause))
        return splitAt(header, data, cause);

    bool startNewFile = false;
    if (!_currentFile->writeBlock(header, data, &startNewFile)) {
        postError(_currentFile->failure());
        return Pass::Exit;
    }
    if (startNewFile) {
        if (_debugLevel != 0)
            qDebug() << "startNewFile by !_currentFile->writeBlock(header, data, startNewFile)";
        if (_lastTime != kNoTimeMs)
            return splitAt(header, data, ExportRecord::Began::StreamParametersChanged);
        // Refused as a file's first block too: no file can take it, and
        // splitting at it again would repeat for ever.
        qWarning("block at %lld ms of stream %u fits no file; left out", static_cast<long long>(header.time),
                 unsigned(header.streamNumber));
        _blockRead = false;
        return Pass::Next;
    }
    _blockRead = false;
    _blockWritten = true;
    _bytesWritten += data.size();
    _lastTime = header.time;
    rememberFourcc(header, data);
    if (header.isKey() && header.streamNumber == kVideoStream)
        _lastVideoKey = data;
    postProgress(double(_lastTime - _start) / double(_duration));
    return Pass::Next;
}

Controller::Pass Controller::splitAt(const BlockHeader &header, const QByteArray &data, ExportRecord::Began cause)
{
    // A file that begins elsewhere than at a video key frame, after one with
    // video, has its video described by the last key frame written: its own
    // next key frame may be further off than the blocks gathering looks at.
    const bool seedVideo = !(header.isKey() && header.streamNumber == kVideoStream) && _streamInfo &&
                           _streamInfo->describesVideo() && !_lastVideoKey.isEmpty();
    _bytesWritten = 0;
    _fragmentStart = _position = header.time;
    closeCurrentFile();
    _gatheringInfo = true;
    _blockRead = true;
    _lastTime = header.time;
    rememberFourcc(header, data);
    _keepingBlock = true;
    _keptHeader = header;
    _keptData = data;
    _nextBegan = cause;
    if (seedVideo) {
        _streamInfo = new StreamInfo(_manager);
        _streamInfo->seedVideo(_lastVideoKey);
    }
    return gather(header, data);
}

bool Controller::isKeptBlock(const BlockHeader &header, const QByteArray &data) const
{
    return header.streamNumber == _keptHeader.streamNumber && header.time == _keptHeader.time &&
           header.flags == _keptHeader.flags && data == _keptData;
}

void Controller::exitPump(QByteArray &data)
{
    data = QByteArray();
    if (_timerId != 0)
        killTimer(_timerId);
    _timerId = 0;
    closeCurrentFile();
    endRecord();
}

void Controller::rememberFourcc(const BlockHeader &header, const QByteArray &data)
{
    if (!header.isKey())
        return;
    // Key blocks of a stream nearly always repeat its code: store only a change.
    const QByteArrayView code = leadingFourcc(data);
    QByteArray &stored = _fourccs[header.streamNumber];
    if (stored != code)
        stored = code.toByteArray();
}

void Controller::beginAtKeyFrame(int64_t keyFrameMs)
{
    // The archive is fed from the key frame at or before the period's start.
    // Dropping the pictures before the start would begin the first file at
    // the next key frame, seconds after the start with long key-frame
    // intervals: the export begins at this key frame instead, and progress
    // counts from it.
    _start = _position = _maxVideoTime = _fragmentStart = keyFrameMs;
    _duration = _end - _start;
}

bool Controller::readyAtEnd()
{
    if (!_gatheringInfo || !_streamInfo || !_streamInfo->hasReadyInformer())
        return false;
    _streamInfo->endGathering();
    return true;
}

Controller::Pass Controller::fail()
{
    postReport(ControllerEvent::Error, kWriteErrorCode);
    return Pass::Exit;
}

bool Controller::feedQueue(int64_t timeMs)
{
    if (!_queue || !_blockSource)
        return false;
    _blockSource->feed(timeMs, _queue);
    return true;
}
