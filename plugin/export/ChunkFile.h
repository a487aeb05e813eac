// ChunkFile: one Matroska output file of an export, written through
// libavformat under a temporary name of its own in the target folder (see
// TemporaryFile: other exports may write into the same folder at once) and
// named after the local times of its first and last blocks once it is
// finished, never over an existing file (FileCloser).
//
// Made by openChunk once the StreamInfo is ready; written block by block in
// archive order; finalized by its destructor: trailer and header patch,
// then checksum, record entry, final name and FileClosed through a
// FileCloser (the export's, which does them while the next file is written,
// or one of its own). Reports FileStarted when the first block is offered.
// Owned by the Controller; worker thread only. `info` is not owned and
// outlives the ChunkFile; it owns its muxer context and its file.
#ifndef PLUGIN_EXPORT_CHUNKFILE_H_
#define PLUGIN_EXPORT_CHUNKFILE_H_

#include "plugin/export/BlockHeader.h"
#include "plugin/export/Evidence.h"
#include "plugin/export/ExportRecord.h"
#include "plugin/export/FFmpeg.h"
#include "plugin/export/TimeTrack.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class QObject;
class ExportRecord;
class FileCloser;
class StreamInfo;
class TemporaryFile;

class ChunkFile {
public:
    // Null on any failure (*failure says why); the caller owns the result. `timeTrack`: the file gets a subtitle stream of the
    // recording's date and time (TimeTrack).
    static ChunkFile *openChunk(const QString &dir, StreamInfo *info, QObject *receiver, bool timeTrack,
                                QString *failure);
    ~ChunkFile();
    ChunkFile(const ChunkFile &) = delete;
    ChunkFile &operator=(const ChunkFile &) = delete;

    // False when the block cannot be packed or the muxer refused it. True with
    // *startNewFile set: nothing was written, the block belongs to a new file.
    bool writeBlock(const BlockHeader &header, const QByteArray &data, bool *startNewFile);
    // Why a block could not be written, with the file; empty when it was
    // not the disk's fault (the informer refused the block).
    const QString &failure() const { return _failure; }

    // The final name for a file whose blocks run from firstMs to lastMs.
    static QString finalName(int64_t firstMs, int64_t lastMs);

    // Where the finished file is entered (not owned; may be null).
    void setRecord(ExportRecord *record) { _record = record; }
    // The export's closer, through which reports go and which finishes the
    // file (not owned; may be null: the file is then finished at once).
    void setCloser(FileCloser *closer) { _closer = closer; }
    // Why the file began, for its record entry (the period's start if not set).
    void setBegan(ExportRecord::Began began) { _began = began; }

private:
    ChunkFile(const QString &dir, ffmpeg::OutputContext context, StreamInfo *info, QObject *receiver,
              std::unique_ptr<TemporaryFile> file, const TimeTrack &timeTrack);
    // Chapters, trailer, closing: false when the muxer did not finish.
    bool finishMuxing();
    ExportRecord::File recordEntry() const;

    QString dir;
    ffmpeg::OutputContext context;
    StreamInfo *info;
    QObject *receiver;
    int64_t firstTime;
    int64_t lastTime;
    int64_t skipped;
    Evidence evidence;  // chapters and header facts of this file
    TimeTrack _timeTrack;  // without a stream when the file has no time track
    // The file on disk; locked until it is finished, named and checksummed.
    std::unique_ptr<TemporaryFile> _file;
    ExportRecord *_record = nullptr;
    FileCloser *_closer = nullptr;
    QString _failure;  // why the file cannot be complete; empty while it can
    std::vector<ExportRecord::File::Span> _spans;  // recorded time its blocks hold
    ExportRecord::Began _began = ExportRecord::Began::PeriodStart;
    bool _videoContinues = false;   // its first picture written was not a key frame
    int64_t _firstKeyFrameMs = -1;  // of the pictures written
};

#endif  // PLUGIN_EXPORT_CHUNKFILE_H_
