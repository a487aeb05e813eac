// The two events that cross between the dialog (GUI thread) and the export
// controller (its worker thread). Both have QEvent type 1000; receivers tell
// them apart by a dynamic cast. Posted events belong to Qt once posted.
#ifndef PLUGIN_EXPORT_EVENTS_H_
#define PLUGIN_EXPORT_EVENTS_H_

#include <QByteArray>
#include <QEvent>
#include <QString>
#include <cstdint>

constexpr QEvent::Type kExportEventType = QEvent::Type(1000);

// Dialog -> controller: start (command 0) or stop (command 1) an export.
class ExportEvent : public QEvent {
public:
    ExportEvent(uint32_t command, int64_t from, int64_t to)
        : QEvent(kExportEventType), command(command), from(from), to(to) {}
    ~ExportEvent() override;

    uint32_t command;
    int64_t from;  // ms since the Unix epoch
    int64_t to;    // ms since the Unix epoch; INT64_MAX = to the archive's end
};

// What a report says beyond its kind, code, progress and time, for the
// operator: which file, how large, its checksum, why something failed, how
// the export ended. Filled where the facts are known; the defaults mean
// "not known" and a receiver that does not read them loses nothing.
struct ReportDetails {
    // Error: the reason, in the system's words, with the file or folder
    // concerned ("No space left on device (/media/evidence)").
    QString reason;
    // FileClosed: the file's name in the target folder; for a file that
    // could not be finished, the name that says it is incomplete.
    QString fileName;
    bool complete = true;      // FileClosed: finished, named and checksummed
    int64_t sizeBytes = -1;    // FileClosed
    QByteArray sha256;         // FileClosed: hex; empty when none was made
    int64_t firstMs = -1;      // FileClosed: time of the file's first block
    // Finished and Error: recorded time of the period (ms) that could not be
    // read, and the export record's path (empty when none could be made).
    int64_t unreadMs = 0;
    QString recordPath;
    // Finished and Error: the subject of the certificate the record is
    // signed with, or (empty) why it is not signed.
    QString signedBy;
    QString unsignedWhy;
};

// Controller -> receiver: one report of the export.
class ControllerEvent : public QEvent {
public:
    enum Kind : uint32_t { FileStarted = 0, FileClosed = 1, Finished = 2, Error = 3, Progress = 4 };

    ControllerEvent(uint32_t kind, uint32_t code, double progress, int64_t time)
        : QEvent(kExportEventType), kind(kind), code(code), progress(progress), time(time) {}
    ~ControllerEvent() override;

    uint32_t kind;
    uint32_t code;     // 0 unless kind is Error
    double progress;   // fraction for Progress, -1.0 otherwise
    int64_t time;      // block time for FileStarted/FileClosed, -1 otherwise
    ReportDetails details;
};

// An output file cannot be opened or a block cannot be written.
constexpr uint32_t kWriteErrorCode = 1000002;

#endif  // PLUGIN_EXPORT_EVENTS_H_
