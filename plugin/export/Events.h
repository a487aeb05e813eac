// The two events that cross between the dialog (GUI thread) and the export
// controller (its worker thread). Both have QEvent type 1000; receivers tell
// them apart by a dynamic cast. Posted events belong to Qt once posted.
#ifndef PLUGIN_EXPORT_EVENTS_H_
#define PLUGIN_EXPORT_EVENTS_H_

#include <QEvent>
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
};

// An output file cannot be opened or a block cannot be written.
constexpr uint32_t kWriteErrorCode = 1000002;

#endif  // PLUGIN_EXPORT_EVENTS_H_
