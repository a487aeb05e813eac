#include "plugin/export/Controller.h"

#include "plugin/export/ChunkFile.h"
#include "plugin/export/Events.h"
#include "plugin/export/Evidence.h"
#include "plugin/export/RecordSigner.h"
#include "plugin/export/StreamInfo.h"
#include "plugin/host/Guids.h"
#include "plugin/host/Secure.h"
#include "plugin/host/Translation.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QtDebug>
#include <limits>

Controller *Controller::create(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager,
                               QObject *receiver, const QString &dir, bool limitEnabled, int limitMb,
                               int debugLevel, bool timeTrack)
{
    if (!source)
        return nullptr;
    ComponentRef<IVideoSource> video = source->videoSource();
    if (!video)
        return nullptr;
    ComponentRef<IArchiveReader> reader = static_cast<IDataSource *>(video.get())->archiveReader();
    video.reset();
    if (!reader)
        return nullptr;
    auto *controller = new Controller(manager, reader, receiver, dir, limitEnabled, limitMb, debugLevel, timeTrack);
    // The client session the export runs in, for the export record: all the
    // client tells of who exports.
    if (manager) {
        ComponentRef<secure::IUserSessionManager> sessions(manager->getComponent(guids::kUserSessionManager));
        if (sessions) {
            const secure::SessionId id = sessions->currentSessionId();
            controller->_sessionId = QByteArray(reinterpret_cast<const char *>(id.bytes), sizeof id.bytes).toHex();
        }
    }
    return controller;
}

Controller::Controller(IComponentManager *manager, const ComponentRef<IArchiveReader> &reader, QObject *receiver,
                       const QString &dir, bool limitEnabled, int limitMb, int debugLevel, bool timeTrack)
    : QObject(nullptr),
      _manager(manager),
      _reader(reader),
      _readerHold(reader->hold()),
      _blockSource(reader->blockSource()),
      _readCursor{0, 0, true},
      _receiver(receiver),
      _dir(dir),
      _timerId(0),
      _start(0),
      _end(0),
      _duration(0),
      _blockRead(false),
      _gatheringInfo(true),
      _position(0),
      _maxVideoTime(0),
      _fragmentStart(0),
      _stop(false),
      _streamInfo(nullptr),
      _currentFile(nullptr),
      _lastTime(kNoTimeMs),
      _lastProgressPost(0),
      _limitEnabled(limitEnabled),
      _limitMb(limitMb),
      _bytesWritten(0),
      _debugLevel(debugLevel),
      _timeTrack(timeTrack),
      _closer(receiver, true)
{
    makeQueue();
}

Controller::~Controller()
{
    if (_timerId != 0)
        killTimer(_timerId);
    closeCurrentFile();
    delete _streamInfo;
    endRecord();
}

void Controller::makeQueue()
{
    ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
    if (queue) {
        queue->setMaxBlocks(-1);
        queue->setMaxBytes(-1);
        queue->setMode(1);
        _queue = queue;
    } else {
        qWarning("EncodedDataQueue failed to create");
        _queue.reset();
    }
}

void Controller::customEvent(QEvent *event)
{
    auto *request = dynamic_cast<ExportEvent *>(event);
    if (!request)
        return;
    if (request->command == 0) {
        // One export per controller: a second start, while it runs or after
        // it ended, is ignored.
        if (!_started)
            start(request->from, request->to);
    } else if (request->command == 1) {
        stop();
    }
}

bool Controller::start(int64_t from, int64_t to)
{
    _started = true;
    ComponentRef<IFragmentIndex> index = _reader->fragmentIndex();
    if (!index) {
        postReport(ControllerEvent::Finished, 0);
        endRecord();
        return false;
    }
    int status = 0;
    index->fragments(&_fragments, &status);
    if (!createRecord(from, to)) {
        endRecord();
        return false;
    }
    if (_fragments.empty()) {
        postReport(ControllerEvent::Finished, 0);
        endRecord();
        return false;
    }
    if (uint64_t(from) < uint64_t(_reader->beginTime()))
        from = _reader->beginTime();

    bool found = false;
    for (size_t i = 0; i < _fragments.size(); ++i) {
        const Fragment &fragment = _fragments[i];
        if (fragment.start <= from && from < fragment.end) {
            found = true;
            break;
        }
        if (i + 1 == _fragments.size())
            break;
        if (fragment.end <= from && from < _fragments[i + 1].start) {
            from = _fragments[i + 1].start;
            found = true;
            break;
        }
    }
    if (!found || from > to) {
        postReport(ControllerEvent::Finished, 0);
        endRecord();
        return false;
    }
    // Without a queue or a block source nothing can be read; end the export
    // with an error instead of calling through an empty reference.
    if (!_queue || !_blockSource) {
        postReport(ControllerEvent::Error, kWriteErrorCode);
        endRecord();
        return false;
    }

    _start = from;
    if (to == std::numeric_limits<int64_t>::max())
        to = _reader->endTime();
    _duration = to - _start;
    _streamInfo = nullptr;
    _currentFile = nullptr;
    _end = to;
    _position = _start;
    _maxVideoTime = _start;
    _fragmentStart = _start;
    _blockSource->feed(_start, _queue);
    _timerId = startTimer(0);
    return true;
}

void Controller::stop()
{
    QMutexLocker lock(&_mutex);
    _stop = true;
}

void Controller::closeCurrentFile()
{
    if (!_currentFile)
        return;
    delete _currentFile;
    _currentFile = nullptr;
    delete _streamInfo;
    _streamInfo = nullptr;
}

bool Controller::createRecord(int64_t fromMs, int64_t toMs)
{
    // Gaps are looked for where the archive has recordings at all: what
    // the period asks for before or after them shows in the record as the
    // period asked for against the one covered.
    std::vector<ExportRecord::Gap> notRecorded;
    std::vector<ExportRecord::Gap> recordings;
    if (!_fragments.empty()) {
        const int64_t firstMs = std::max(fromMs, _fragments.front().start);
        const int64_t lastMs = std::min(toMs, _fragments.back().end - 1);
        if (firstMs <= lastMs)
            notRecorded = ExportRecord::gapsOf(_fragments, firstMs, lastMs);
        for (const Fragment &fragment : _fragments) {
            const ExportRecord::Gap recorded{std::max(firstMs, fragment.start), std::min(lastMs + 1, fragment.end), true};
            if (recorded.fromMs < recorded.toMs)
                recordings.push_back(recorded);
        }
    }
    const bool checksums = Evidence::checksumsEnabled();
    if (!checksums)
        qWarning("VELT_EXPORT_CHECKSUM=0: the files of this export get no checksum, and its record says so");
    _signer = std::make_unique<RecordSigner>();
    _record = std::make_unique<ExportRecord>(_sessionId, _limitEnabled, _limitMb, _timeTrack);
    _record->setSignature(_signer->signature());
    if (_record->create(_dir, fromMs, toMs, notRecorded, recordings, checksums))
        return true;
    postError(_record->error());
    return false;
}

void Controller::endRecord()
{
    // The record ends after the entries of all files, and so do the reports.
    _closer.drain();
    const QString failure = _closer.takeFailure();
    if (!failure.isEmpty())
        postError(failure);
    if (_record && !_record->ended()) {
        bool written = true;
        if (!_endingReported)
            written = _record->end(ExportRecord::Ending::Stopped);
        else if (_endingKind == ControllerEvent::Error)
            written = _record->end(ExportRecord::Ending::Error, _endingCode,
                                   _endingReason.isEmpty()
                                       ? zkTranslation(QStringLiteral("MSGE_KALMIX_%1").arg(qulonglong(_endingCode)))
                                       : _endingReason);
        else
            written = _record->end(ExportRecord::Ending::Finished);
        // Signed once its bytes are final, before the ending is reported.
        if (!written)
            postError(_record->error());
        else
            _signer->sign(*_record);
    }
    if (!_endingReported || _endingPosted)
        return;
    _endingPosted = true;
    if (!_receiver)
        return;
    auto *ending = new ControllerEvent(_endingKind, _endingCode, -1.0, -1);
    ending->details.reason = _endingReason;
    if (_record) {
        ending->details.unreadMs = _record->unreadMs();
        ending->details.recordPath = _record->path();
        ending->details.signedBy = _signer->signature().signer;
        ending->details.unsignedWhy = _signer->signature().unsignedWhy;
    }
    _closer.post(ending);
}

void Controller::postError(const QString &reason)
{
    if (_endingPosted)
        return;
    // A file or record that failed after the period was done still makes
    // the export an Error: nothing has been posted of the ending yet.
    if (_endingReported && _endingKind == ControllerEvent::Finished)
        _endingReported = false;
    if (!_endingReported)
        _endingReason = reason;
    postReport(ControllerEvent::Error, kWriteErrorCode);
}

void Controller::postReport(uint32_t kind, uint32_t code)
{
    if (kind == ControllerEvent::Finished || kind == ControllerEvent::Error) {
        // The ending is posted by endRecord, after the last file, as the
        // export's last report.
        if (!_endingReported) {
            _endingReported = true;
            _endingKind = kind;
            _endingCode = code;
        }
        return;
    }
    if (!_receiver)
        return;
    _closer.post(new ControllerEvent(kind, code, -1.0, -1));
}

void Controller::postProgress(double fraction)
{
    if (!_receiver)
        return;
    // Only a period of zero length gives no finite fraction (0/0): it is
    // done once a block at its one instant is written.
    if (!qIsFinite(fraction))
        fraction = 1.0;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (now <= _lastProgressPost + 99)
        return;
    _closer.post(new ControllerEvent(ControllerEvent::Progress, 0, fraction, -1));
    _lastProgressPost = now;
}
