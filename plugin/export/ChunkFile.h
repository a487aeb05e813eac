// ChunkFile: one Matroska output file of an export, written through
// libavformat under a temporary name of its own in the target folder (see
// TemporaryFile: other exports may write into the same folder at once) and
// renamed after the local times of its first and last blocks when it is
// destroyed, never over an existing file.
//
// Made by openChunk once the StreamInfo is ready; written block by block in
// archive order; finalized by its destructor, which posts FileClosed. Reports
// FileStarted when the first block is offered. Owned by the Controller;
// worker thread only. `info` is not owned and outlives the ChunkFile.
#ifndef PLUGIN_EXPORT_CHUNKFILE_H_
#define PLUGIN_EXPORT_CHUNKFILE_H_

#include "plugin/export/BlockHeader.h"
#include "plugin/export/Evidence.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

struct AVFormatContext;
class QObject;
class ExportRecord;
class StreamInfo;
class TemporaryFile;

class ChunkFile {
public:
    // Null on any failure; the caller owns the result.
    static ChunkFile *openChunk(const QString &dir, StreamInfo *info, QObject *receiver);
    ~ChunkFile();
    ChunkFile(const ChunkFile &) = delete;
    ChunkFile &operator=(const ChunkFile &) = delete;

    // False when the block cannot be packed or the muxer refused it. True with
    // *startNewFile set: nothing was written, the block belongs to a new file.
    bool writeBlock(const BlockHeader &header, const QByteArray &data, bool *startNewFile);

    // The final name for a file whose blocks run from firstMs to lastMs.
    static QString finalName(int64_t firstMs, int64_t lastMs);

    // Where the finished file is entered (not owned; may be null).
    void setRecord(ExportRecord *record) { _record = record; }

private:
    ChunkFile(const QString &dir, AVFormatContext *context, StreamInfo *info, QObject *receiver,
              std::unique_ptr<TemporaryFile> file);
    void enterInRecord(const QString &name, const QByteArray &sha256) const;

    QString dir;
    AVFormatContext *context;  // owned
    StreamInfo *info;
    QObject *receiver;
    int64_t firstTime;
    int64_t lastTime;
    int64_t skipped;
    Evidence evidence;  // chapters and header facts of this file
    // The file on disk; locked until it is finished, named and checksummed.
    std::unique_ptr<TemporaryFile> _file;
    ExportRecord *_record = nullptr;
};

#endif  // PLUGIN_EXPORT_CHUNKFILE_H_
