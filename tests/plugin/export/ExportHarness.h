// Runs a Controller the way the export dialog does: made on the test (GUI)
// thread, moved to a worker QThread of its own, started with a posted
// ExportEvent, stopped with stop(), deleteLater() and the thread's end.
// Reports are collected on the test thread. Helpers read the Matroska files
// the export wrote and capture Qt's message output.
#ifndef TESTS_PLUGIN_EXPORT_EXPORTHARNESS_H_
#define TESTS_PLUGIN_EXPORT_EXPORTHARNESS_H_

#include "plugin/export/Controller.h"
#include "plugin/export/Events.h"
#include "tests/support/MessageCapture.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <functional>
#include <limits>
#include <ostream>
#include <vector>

// Lets GoogleTest print QStrings in failure messages.
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace exporttest {

// An export period without an end.
constexpr int64_t kOpenEnd = std::numeric_limits<int64_t>::max();

struct Report {
    uint32_t kind;
    uint32_t code;
    double progress;
    int64_t timeMs;
};

// Receives ControllerEvents on the thread it lives on.
class ReportLog : public QObject {
public:
    std::vector<Report> reports;

    int count(uint32_t kind) const;
    bool has(uint32_t kind) const { return count(kind) > 0; }
    // The reports in order, e.g. "started@1000 progress closed@1081 finished";
    // progress reports are left out unless asked for.
    QString summary(bool withProgress = false) const;
    // Times of the FileStarted reports.
    std::vector<int64_t> fileStarts() const;

protected:
    void customEvent(QEvent *event) override;
};

struct ExportRequest {
    QString dir;
    bool limitEnabled = false;
    int limitMb = 0;
    int debugLevel = 0;
    int64_t fromMs = 0;
    int64_t toMs = 0;
    bool nullReceiver = false;
};

class ExportRun {
public:
    ExportRun() = default;
    ~ExportRun() { finish(); }
    ExportRun(const ExportRun &) = delete;
    ExportRun &operator=(const ExportRun &) = delete;

    // Creates the controller, starts its thread and posts the start request.
    // False when create() yields no controller.
    bool begin(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager,
               const ExportRequest &request, bool postStart = true);
    // Processes the test thread's events until `done` holds; false after the
    // guard time (a hung export).
    bool waitFor(const std::function<bool()> &done, int guardMs = 10000);
    // Until Finished or Error has been reported.
    bool waitForEnd() { return waitFor([this] { return ended(); }); }
    bool ended() const;
    // Processes the test thread's events for `ms` milliseconds.
    void idle(int ms);
    // Stops and destroys the controller as the dialog does, waits for the
    // thread and collects the reports posted until then.
    void finish();

    Controller *controller = nullptr;
    ReportLog log;
    QThread thread;
};

// Names of the .mkv files in `dir`, sorted (files being written have other
// names).
QStringList mkvFiles(const QString &dir);
// Packet times (ms) per stream index of a Matroska file; empty on failure.
std::vector<std::vector<int64_t>> packetTimes(const QString &path);

using testsupport::MessageCapture;

}  // namespace exporttest

#endif  // TESTS_PLUGIN_EXPORT_EXPORTHARNESS_H_
