// FileCloser: the last steps of the finished files of one export, in file
// order: its checksum, its entry in the export record, the checksum file
// beside it and its FileClosed report.
//
// The checksum reads the whole file back, so it runs on a thread of its own
// while the worker thread writes the next file. Everything the receiver is
// told goes through post(): while a file's checksum is being made, the
// reports made after that file's close are held back, and are posted only
// after its FileClosed. The receiver sees them in the order they were made,
// and a file's record entry and its row both get its checksum.
//
// Owned by the Controller (or, for one file alone, by its ChunkFile); worker
// thread only, but for the checksum thread it starts, which touches nothing
// but the file, its checksum file and the record entry of the job it is
// given (the worker thread leaves the record alone until the job is joined).
// One checksum runs at a time: closing a file waits for the previous one's.
#ifndef PLUGIN_EXPORT_FILECLOSER_H_
#define PLUGIN_EXPORT_FILECLOSER_H_

#include "plugin/export/ExportRecord.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class ControllerEvent;
class QObject;
class TemporaryFile;

class FileCloser {
public:
    // A file that has been written, closed and named.
    struct Closed {
        // Keeps the file locked until its checksum is written.
        std::unique_ptr<TemporaryFile> file;
        // Its final name; empty when it could not be named (then no checksum
        // and no record entry).
        QString name;
        // Finished completely: only such a file gets a checksum.
        bool complete = false;
        ExportRecord *record = nullptr;  // not owned; may be null
        ExportRecord::File entry;        // its record entry, less the checksum
        int64_t lastMs = 0;              // time of its last block, for FileClosed
    };

    // `receiver` may be null: then nothing is posted. `background`: make
    // checksums on a thread of their own; otherwise close() does all at once.
    FileCloser(QObject *receiver, bool background);
    // Waits for a checksum still being made and posts what was held back.
    ~FileCloser();
    FileCloser(const FileCloser &) = delete;
    FileCloser &operator=(const FileCloser &) = delete;

    // Posts `event` (taking it), or holds it while a checksum is made.
    void post(ControllerEvent *event);
    void close(Closed closed);
    // Ends a checksum that is done, without waiting, and posts what waited
    // for it. Cheap; called between blocks.
    void poll();
    // Waits for the checksum being made, then as poll().
    void drain();

private:
    struct Job;
    void release();

    QObject *const _receiver;
    const bool _background;
    std::unique_ptr<Job> _job;                // the file being checksummed, if any
    std::vector<ControllerEvent *> _held;     // reports made after its close, owned
};

#endif  // PLUGIN_EXPORT_FILECLOSER_H_
