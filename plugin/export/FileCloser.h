// FileCloser: the last steps of the finished files of one export, in file
// order: the checksum, the checksum file, the entry in the export record and
// the final name, then the FileClosed report.
//
// Order on the disk. A file is written under its temporary name, which the
// next export into the folder removes when the export that wrote it is gone.
// Once the muxer has finished it, it is flushed to the disk, read back for
// its checksum, and then:
//   1. "<name>.sha256" is published (never replacing one; a taken name goes
//      on to " (2)" and so on) - the name is now this file's;
//   2. the record is rewritten with the file's entry;
//   3. the file takes "<name>", the step that makes it a finished file.
// A kill before step 2 leaves a temporary file that the next export
// removes (after step 1 with a checksum file naming a file that never
// appeared: `sha256sum -c` says it is missing); a kill between steps 2 and
// 3 leaves a complete file that its record entry and checksum file vouch
// for, which the next export names as they say (TemporaryFile::
// removeLeftovers, Evidence::orphanNameOf); a kill after step 3 leaves the
// file with its checksum file and its record entry. A final name therefore
// always means a complete, checksummed and recorded file.
//
// A file that could not be written or finished to its end, or could not be
// named, is never removed: it takes "<name>.incomplete.mkv", is entered in
// the record as incomplete with its size, and its failure is the export's
// Error. A file of no bytes holds nothing and is removed.
//
// The steps read the whole file back, so they run on a thread of their own
// while the worker thread writes the next file; closing a file never waits.
// Files are finished one after the other, in order. Everything the receiver
// is told goes through post(): reports made after a file's close are held
// back until its FileClosed is posted, so the receiver sees them in the
// order they were made.
//
// Owned by the Controller (or, for one file alone, by its ChunkFile); worker
// thread only, but for the thread it starts, which touches nothing but the
// file, its checksum file and the record (the worker thread leaves the
// record alone until the closer is drained).
#ifndef PLUGIN_EXPORT_FILECLOSER_H_
#define PLUGIN_EXPORT_FILECLOSER_H_

#include "plugin/export/ExportRecord.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>

class ControllerEvent;
class QObject;
class TemporaryFile;

class FileCloser {
public:
    // A file that has been written and closed, still under its temporary name.
    struct Closed {
        // Keeps the file locked until it is finished.
        std::unique_ptr<TemporaryFile> file;
        // The name it is to have: folder and "<first>-<last>.mkv".
        QString wanted;
        // Written and finished to its end; otherwise `failure` says why.
        bool complete = false;
        QString failure;
        ExportRecord *record = nullptr;  // not owned; may be null
        ExportRecord::File entry;        // its record entry, less name, size and checksum
        int64_t lastMs = 0;              // time of its last block, for FileClosed
    };

    // `receiver` may be null: then nothing is posted. `background`: finish
    // files on a thread of their own; otherwise close() does all at once.
    FileCloser(QObject *receiver, bool background);
    // Finishes the files still waiting and posts what was held back.
    ~FileCloser();
    FileCloser(const FileCloser &) = delete;
    FileCloser &operator=(const FileCloser &) = delete;

    // Posts `event` (taking it), or holds it while a file is being finished.
    void post(ControllerEvent *event);
    void close(Closed closed);
    // Posts what is done, without waiting. Cheap; called between blocks.
    void poll();
    // Waits for every file to be finished, then as poll().
    void drain();
    // Why a file could not be finished completely, the first time since the
    // last call; empty when every file so far was.
    QString takeFailure() { return std::exchange(_failure, QString()); }

private:
    struct Job;
    struct Item {
        std::unique_ptr<Job> job;         // a file, or
        ControllerEvent *event = nullptr;  // a report, owned
    };
    void advance(bool wait);
    void start(Job &job);
    void release(Job &job);

    QObject *const _receiver;
    const bool _background;
    std::deque<Item> _pending;  // in the order they were made
    QString _failure;
};

#endif  // PLUGIN_EXPORT_FILECLOSER_H_
