// Controller: the export engine of one export.
//
// The dialog creates it on the GUI thread (create), moves it to a worker
// thread of its own and posts one start ExportEvent. From then on everything
// but stop() runs on the worker thread: start() finds the first recorded time
// of the period and starts the block source and a zero-interval timer, whose
// events run the read pump (timerEvent). Reports go to the receiver as posted
// ControllerEvents.
//
// A closed file's checksum is made on a thread of the FileCloser's while the
// worker thread goes on; the reports stay in the order they were made.
//
// Ownership: the controller owns _streamInfo and _currentFile. _manager and
// _receiver belong to the dialog and outlive the controller, since the dialog
// waits for the worker thread before it goes.
#ifndef PLUGIN_EXPORT_CONTROLLER_H_
#define PLUGIN_EXPORT_CONTROLLER_H_

#include "plugin/export/BlockHeader.h"
#include "plugin/export/ExportRecord.h"
#include "plugin/export/FileCloser.h"
#include "plugin/host/Archive.h"
#include "plugin/host/Component.h"
#include "plugin/host/Sources.h"

#include <QByteArray>
#include <QByteArrayView>
#include <algorithm>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

class ChunkFile;
class RecordSigner;
class StreamInfo;
class QTimerEvent;

class Controller : public QObject {
public:
    // Null when the source yields no archive reader. GUI thread.
    // `timeTrack`: every file gets a subtitle stream of the recording's date
    // and time (TimeTrack).
    static Controller *create(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager,
                              QObject *receiver, const QString &dir, bool limitEnabled, int limitMb,
                              int debugLevel, bool timeTrack);

    Controller(IComponentManager *manager, const ComponentRef<IArchiveReader> &reader, QObject *receiver,
               const QString &dir, bool limitEnabled, int limitMb, int debugLevel, bool timeTrack);
    ~Controller() override;

    // Worker thread. True when the pump's timer was started.
    bool start(int64_t from, int64_t to);
    // Any thread: sets the stop flag, seen at the head of the pump's next pass.
    void stop();

    // Worker thread: whether this block must begin a new file.
    // A split sets *cause (when given) to why the next file begins.
    bool shouldStartNewFile(const BlockHeader &header, const QByteArray &data,
                            ExportRecord::Began *cause = nullptr);
    void closeCurrentFile();
    void postReport(uint32_t kind, uint32_t code);
    void postProgress(double fraction);

protected:
    void timerEvent(QTimerEvent *event) override;
    void customEvent(QEvent *event) override;

private:
    // What the pump does after one of its steps.
    enum class Pass { Next, Return, Exit };

    // Makes a new queue into _queue; warns and leaves it empty on failure.
    void makeQueue();
    // Feeds _queue from `timeMs`; false when there is no queue or no source.
    bool feedQueue(int64_t timeMs);

    // Steps of the read pump (ReadPump.cpp).
    Pass read(QByteArray &data, BlockHeader &header);
    Pass emptyBlock(int64_t blockTimeMs);
    Pass gather(const BlockHeader &header, const QByteArray &data);
    Pass openAndRewind();
    Pass write(const BlockHeader &header, const QByteArray &data);
    // Closes the current file; the next begins with this block, kept until
    // the rewind brings it again.
    Pass splitAt(const BlockHeader &header, const QByteArray &data, ExportRecord::Began cause);
    // The block read is the kept block itself, not one of the same time.
    bool isKeptBlock(const BlockHeader &header, const QByteArray &data) const;
    void exitPump(QByteArray &data);
    // The period ended while gathering: true when the description is made
    // ready so that what was gathered is still written.
    bool readyAtEnd();
    // The first video block of the export is a key frame before the period's
    // start: the export begins there.
    void beginAtKeyFrame(int64_t keyFrameMs);
    // Reports a failure that is not the writer's: Error.
    Pass fail();
    // Ends the export with an Error that says why (the first ending counts).
    void postError(const QString &reason);
    // Makes the export record for the period asked for; false (and an
    // Error) when none can be made.
    bool createRecord(int64_t fromMs, int64_t toMs);
    // Ends the export once the last file is finished: the record ends with
    // the first Error or Finished reported, or as stopped when neither was,
    // and then the ending is posted, the last report of the export. A file
    // that could not be finished, or a record that could not be written,
    // turns the ending into an Error.
    void endRecord();
    // Keeps the first four bytes of a key block as its stream's code.
    void rememberFourcc(const BlockHeader &header, const QByteArray &data);
    // The first four bytes of a block (fewer when it is shorter), not copied.
    static QByteArrayView leadingFourcc(const QByteArray &data)
    {
        return QByteArrayView(data).first(std::min<qsizetype>(4, data.size()));
    }

    // Constant after construction.
    IComponentManager *_manager;
    ComponentRef<IArchiveReader> _reader;
    ComponentRef<IPolymorph> _readerHold;

    // Worker thread only.
    ComponentRef<IBlockSource> _blockSource;
    ComponentRef<IEncodedDataQueue> _queue;
    ReadCursor _readCursor;
    QObject *_receiver;
    QString _dir;
    int _timerId;
    int64_t _start;     // ms since the Unix epoch: the export's first time
    int64_t _end;       // ms since the Unix epoch: the period's end
    int64_t _duration;  // ms, _end - _start, for the progress fraction
    bool _blockRead;
    bool _gatheringInfo;
    int64_t _position;       // ms since the Unix epoch: where the pump reads
    int64_t _maxVideoTime;   // ms since the Unix epoch: latest video time read
    int64_t _fragmentStart;  // ms since the Unix epoch: where the current file's reading began

    QMutex _mutex;
    bool _stop;  // guarded by _mutex

    // Worker thread only.
    StreamInfo *_streamInfo;
    ChunkFile *_currentFile;
    int64_t _lastTime;  // ms since the Unix epoch of the last block written; kNoTimeMs before a file's first
    QHash<uint, QByteArray> _fourccs;
    int64_t _lastProgressPost;  // ms of QDateTime::currentMSecsSinceEpoch at the last progress report
    std::vector<Fragment> _fragments;
    bool _limitEnabled;
    int32_t _limitMb;
    int64_t _bytesWritten;  // bytes of block data in the current file
    int _debugLevel;
    bool _timeTrack;
    // A video block with data has been read in this export.
    bool _videoRead = false;
    // A block has been written in this export: from then on a picture older
    // than the latest video time is no longer dropped but split at.
    bool _blockWritten = false;
    // The block that split the last file off begins the next one; after the
    // rewind the blocks read before it are passed over (they are in the file
    // before). Its bytes are shared, not copied.
    bool _keepingBlock = false;
    BlockHeader _keptHeader{0, 0, 0};
    QByteArray _keptData;
    // The last video key block written, to describe the video of a file that
    // begins elsewhere than at a key frame.
    QByteArray _lastVideoKey;
    // Why the next file to open begins.
    ExportRecord::Began _nextBegan = ExportRecord::Began::PeriodStart;

    // The export record; the client session (hex; empty when the client has
    // no session manager) is known where the controller is made (GUI
    // thread), the rest on the worker thread.
    QByteArray _sessionId;
    std::unique_ptr<ExportRecord> _record;
    std::unique_ptr<RecordSigner> _signer;  // signs the record when it ends
    bool _started = false;         // the start request was served
    bool _endingReported = false;  // the first Finished or Error was reported
    bool _endingPosted = false;    // ... and posted, after the last file
    uint32_t _endingKind = 0;
    uint32_t _endingCode = 0;
    QString _endingReason;
    // Finishes the closed files (checksum, record entry, FileClosed) while
    // the next is written; every report goes through it, in order.
    FileCloser _closer;
};

#endif  // PLUGIN_EXPORT_CONTROLLER_H_
