// Runs exports the way the export dialog does and reads back what they wrote
// (the .mkv files through libavformat and libavcodec, the checksum files, the
// export records), from the fake archive or from real ones that the
// velt-archive tool makes and the stand-in client's components read.
#ifndef TESTS_PLUGIN_EXPORT_HARNESS_H_
#define TESTS_PLUGIN_EXPORT_HARNESS_H_

#include "client/runtime/Components.h"
#include "plugin/export/Controller.h"
#include "plugin/export/Events.h"
#include "tests/client/archive/ArchiveTestUtil.h"
#include "tests/support/FakeArchive.h"

#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <functional>
#include <csignal>
#include <sys/resource.h>
#include <limits>

struct AVCodecParameters;

// Lets GoogleTest print QStrings in failure messages.
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }

namespace harness {

constexpr int64_t kOpenEnd = std::numeric_limits<int64_t>::max();  // a period without an end

struct Report {
    uint32_t kind, code;
    double progress;
    int64_t timeMs;
    ReportDetails details;
};
struct Reports : std::vector<Report> {
    int count(uint32_t kind) const;
    // In order, progress left out: "started@1000 closed@1081 error1000002
    // finished", or without the times "started closed error1000002 finished".
    QString summary(bool times = true) const;
};

struct Request {
    QString dir;
    int64_t fromMs = 0;
    int64_t toMs = kOpenEnd;
    bool limitEnabled = false;
    int limitMb = 0;
    int debugLevel = 0;
    bool timeTrack = true;
    // Runs once the export has started (runExportsAtOnce).
    std::function<void()> whileRunning = nullptr;
};

// One export as the dialog runs it, and the receiver of its reports: the
// controller made on the test thread, moved to a worker thread of its own,
// started with a posted ExportEvent, ended with stop(), deleteLater() and the
// end of the thread. begin() is false when create() gives no controller;
// finish() collects the reports.
class ExportRun : public QObject {
public:
    ~ExportRun() override { finish(); }
    bool begin(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager, const Request &request);
    // Processes events until the end is reported; false when it is not.
    bool waitForEnd(int timeoutMs = 120000)
    {
        const auto ended = [this] { return reports.count(ControllerEvent::Finished) + reports.count(ControllerEvent::Error); };
        return QTest::qWaitFor(ended, timeoutMs);
    }
    void finish();

    Controller *controller = nullptr;
    Reports reports;
    QThread thread;

protected:
    void customEvent(QEvent *event) override;
};

// Files of this process may not grow beyond `bytes` while it lives: a full
// disk as the writer meets it (SIGXFSZ ignored, writes fail with EFBIG).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &_saved);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = _saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &_saved); }

private:
    rlimit _saved{};
};

// Runs `velt-archive synth DIR args...`; fails the test on a non-zero exit.
void synth(const QString &dir, const QStringList &args);
int64_t localMs(const QString &isoText);

struct Result {
    Reports reports;
    QStringList files;  // paths of the *.mkv in the output folder, sorted
};
// Exports each archive folder with its request, all at the same time, each
// with components of its own (as two clients would).
std::vector<Result> runExportsAtOnce(const std::vector<std::pair<QString, Request>> &jobs);
inline Result runExport(const QString &archiveDir, const Request &r) { return runExportsAtOnce({{archiveDir, r}}).front(); }

struct Packet {
    int stream;  // index in the file
    bool video, key;
    int64_t ptsMs;
    QByteArray data;
};
// A cue of the time track: shown from startMs up to endMs.
struct Cue {
    int64_t startMs, endMs;
    QString text;
};
struct FileContents {
    int width = 0;  // of the pictures
    std::vector<Packet> packets;  // of the video and the sound
    // The subtitle stream: "title, default" (empty without one), its cues.
    QString timeTrack;
    std::vector<Cue> cues;
    std::vector<QByteArray> frames;  // MD5 of each decoded picture
    QString creationTime, title;
    std::vector<std::pair<int64_t, QString>> chapters;  // start ms, title
    std::shared_ptr<const AVCodecParameters> video;    // of its video stream; null without one
};

FileContents readFile(const QString &path);
// MD5 of each picture that the video of `files`, played one after another
// with the first file's parameters, decodes to.
std::vector<QByteArray> decodeInOrder(const std::vector<FileContents> &files);
QStringList mkvFiles(const QString &dir);  // names, sorted
// `path`.sha256 holds exactly the line sha256sum writes for the file.
testing::AssertionResult hasChecksum(const QString &path);
// The export records (export-*.json) in `dir`, parsed, in name order.
std::vector<QJsonObject> recordsIn(const QString &dir);

// A block with its four-character code, video in stream 0, audio in 8.
using ArchiveBlock = archivetest::Block;
// Every block of the archive in delivery order (markers left out).
std::vector<ArchiveBlock> readArchive(const QString &archiveDir);
struct Piece {
    std::vector<ArchiveBlock> blocks;
    int64_t startMs;
};
// Records `pieces` into a new archive in `dir`, each moved to begin at its
// start: a fragment each, or all in one.
void recordArchive(const QString &dir, const std::vector<Piece> &pieces, bool oneFragment);
// MD5 of each decoded video picture of `blocks`, from the first key frame on.
std::vector<QByteArray> decodeVideo(const std::vector<ArchiveBlock> &blocks);
// The bytes a file stores of an audio block: no code, no ADTS header.
QByteArray storedBytes(const ArchiveBlock &block);

// The export engine against the fake archive and fake codecs, writing into a
// temporary folder.
class FakeExportTest : public testing::Test {
protected:
    FakeExportTest();
    ~FakeExportTest() override;

    // A request into the temporary folder, or into its sub-folder `subdir`.
    Request request(int64_t fromMs, int64_t toMs, const QString &subdir = QString()) const;
    // Runs the export to its end (the reports of an earlier run forgotten);
    // the report summary ("hung: ..." when it did not end).
    QString exportToEnd(const Request &r, int readyAfterKeyBlocks = 1);
    // The files in `outDir` in name order, each as its streams' time stamps:
    // "0 40 80; 1 41 81 | 0 40; 1".
    static QString layout(const QString &outDir);

    std::shared_ptr<fakes::Archive> archive = std::make_shared<fakes::Archive>();
    velt::ComponentManager components;
    QTemporaryDir dir;
    ExportRun run;  // declared last: finished before the rest goes
};

}  // namespace harness

#endif  // TESTS_PLUGIN_EXPORT_HARNESS_H_
