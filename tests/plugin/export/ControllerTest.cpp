// The export controller on its worker thread, started as the dialog starts
// it: where an export begins, how it fails, how it ends early, its progress.
#include "tests/plugin/export/Harness.h"
#include "tests/support/MessageCapture.h"

#include "plugin/host/Guids.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimerEvent>

namespace harness {
namespace {

// Three recordings with a video and an audio block every 100 ms, and one
// block past them all.
void recordThreeFragments(fakes::Archive &archive)
{
    archive.setFragments({{1000, 2000}, {5000, 6000}, {9000, 10000}});
    for (const Fragment &fragment : archive.fragments) {
        for (int64_t t = fragment.start; t < fragment.end; t += 100) {
            archive.script.push_back(fakes::video(t));
            archive.script.push_back(fakes::audio(t + 1));
        }
    }
    archive.script.push_back(fakes::video(30000));
}

using ControllerTest = FakeExportTest;

TEST_F(ControllerTest, TheExportBeginsAtTheFirstRecordedTimeOfThePeriod)
{
    recordThreeFragments(*archive);
    const struct {
        const char *name;
        int64_t beginMs, fromMs, toMs;
        const char *first;  // the first report
    } cases[] = {
        {"before the archive's begin", 1000, 0, 20000, "started@1000"},
        {"inside a recording", 1000, 1500, 20000, "started@1500"},
        {"in a gap", 1000, 3000, 20000, "started@5000"},
        {"at a recording's end", 1000, 2000, 20000, "started@5000"},
        {"at the last recording's end", 1000, 10000, 20000, "finished"},
        {"after the last recording", 1000, 12000, 20000, "finished"},
        {"from after to", 1000, 1500, 1499, "finished"},
        {"from equal to to", 1000, 1500, 1500, "started@1500"},
        // Only the archive's begin moves a start forward, not the walk.
        {"before the first recording, after the begin", 500, 600, 20000, "finished"},
        // Compared with the begin as unsigned: a negative start stays.
        {"negative start", 1000, -1, 20000, "finished"},
    };
    for (const auto &c : cases) {
        archive->firstMs = c.beginMs;
        const QString summary = exportToEnd(request(c.fromMs, c.toMs, QString::number(&c - cases)));
        EXPECT_EQ(summary.section(QLatin1Char(' '), 0, 0), QLatin1String(c.first)) << c.name;
    }
}

TEST_F(ControllerTest, WhatCannotBeReadEndsTheExportWithoutAFile)
{
    EXPECT_EQ(Controller::create({}, &components, &run.log, dir.path(), false, 0, 0), nullptr);
    const struct {
        const char *name;
        std::function<void(fakes::Archive &)> breakIt;
        const char *summary;
    } cases[] = {
        {"no reader", [](fakes::Archive &a) { a.hasReader = false; }, "no controller"},
        {"no fragment index", [](fakes::Archive &a) { a.hasIndex = false; }, "finished"},
        {"no fragments", [](fakes::Archive &a) { a.fragments.clear(); }, "finished"},
        {"no block source", [](fakes::Archive &a) { a.hasBlockSource = false; }, "error1000002 finished"},
        {"no queue", [](fakes::Archive &) { velt::unregisterFactory(guids::kEncodedDataQueue); },
         "error1000002 finished"},
    };
    for (const auto &c : cases) {
        *archive = fakes::Archive();
        recordThreeFragments(*archive);
        fakes::registerQueue();
        c.breakIt(*archive);
        testsupport::MessageCapture messages;
        EXPECT_EQ(exportToEnd(request(1000, 5000)), QLatin1String(c.summary)) << c.name;
        EXPECT_EQ(messages.warnings().contains(QStringLiteral("EncodedDataQueue failed to create")),
                  std::string(c.name) == "no queue");
        EXPECT_TRUE(mkvFiles(dir.path()).isEmpty());
    }
}

TEST_F(ControllerTest, AnOpenEndedPeriodEndsAtTheArchiveEndAndProgressCountsToIt)
{
    archive->setFragments({{1000, 3000}});
    archive->lastMs = 2000;
    for (int64_t t = 1500; t <= 2200; t += 40) {
        archive->script.push_back(fakes::video(t));
        archive->script.push_back(fakes::audio(t + 1));
    }
    EXPECT_EQ(exportToEnd(request(1000, kOpenEnd)), QStringLiteral("started@1500 finished closed@1981"));
    // The first block lies half way from the start to the archive's end.
    std::vector<double> progress;
    for (const Report &report : run.log.reports) {
        if (report.kind == ControllerEvent::Progress)
            progress.push_back(report.progress);
    }
    ASSERT_FALSE(progress.empty());
    EXPECT_DOUBLE_EQ(progress.front(), 0.5);
    EXPECT_LE(progress.back(), 1.0);
}

TEST_F(ControllerTest, OnlyItsOwnEventsStartItAndWithoutReceiverItExportsSilently)
{
    recordThreeFragments(*archive);
    Request r = request(1000, 1950);
    r.nullReceiver = true;
    ASSERT_TRUE(run.begin(fakes::archiveSource(archive), &components, r, false));
    QCoreApplication::postEvent(run.controller, new QEvent(kExportEventType));
    QCoreApplication::postEvent(run.controller, new ExportEvent(0, r.fromMs, r.toMs));
    ASSERT_TRUE(run.waitFor([&] { return !mkvFiles(dir.path()).isEmpty(); }, 10000));
    run.finish();
    EXPECT_TRUE(run.log.reports.empty());
    EXPECT_EQ(layout(dir.path()), "0 100 200 300 400 500 600 700 800 900; 1 101 201 301 401 501 601 701 801 901");
}

// Over an endless stream of blocks (the queue runs dry every hundred, so the
// worker's event loop gets its turn), ended once the first file is written:
// the file is closed and named, and the export does not claim to have
// finished.
TEST_F(ControllerTest, AnExportEndedEarlyClosesItsFile)
{
    archive->feed = [](int64_t fromMs) {
        return [next = fromMs, calls = 0](fakes::Block *block) mutable {
            if (++calls % 100 == 0)
                return false;
            *block = fakes::block((next % 2) ? 8 : 0, next);
            next += (next % 2) ? 39 : 1;
            return true;
        };
    };
    const auto foreignTimer = [](ExportRun &run) {
        QMetaObject::invokeMethod(
            run.controller,
            [&run] {
                QTimerEvent foreign(12345);
                QCoreApplication::sendEvent(run.controller, &foreign);
            },
            Qt::BlockingQueuedConnection);
    };
    const std::pair<const char *, std::function<void(ExportRun &)>> cases[] = {
        {"stop flag", [](ExportRun &run) { run.controller->stop(); }},
        {"stop command", [](ExportRun &run) { QCoreApplication::postEvent(run.controller, new ExportEvent(1, 0, 0)); }},
        {"a timer event not its own", foreignTimer},
        {"destroyed", [](ExportRun &run) { run.finish(); }},
    };
    for (const auto &[name, end] : cases) {
        SCOPED_TRACE(name);
        const Request r = request(1000, 90000000, QLatin1String(name));
        run.log.reports.clear();
        ASSERT_TRUE(run.begin(fakes::archiveSource(archive), &components, r));
        ASSERT_TRUE(run.waitFor([&] { return run.log.reports.count(ControllerEvent::FileStarted) > 0; }, 10000));
        end(run);
        EXPECT_TRUE(run.waitFor([&] { return run.log.reports.count(ControllerEvent::FileClosed) > 0; }, 10000));
        run.finish();
        EXPECT_EQ(run.log.reports.summary(false), QStringLiteral("started closed"));
        EXPECT_EQ(mkvFiles(r.dir).size(), 1);
    }
}

// Each report's clock reading lies between the readings taken around the
// call that posted it.
TEST_F(ControllerTest, ProgressIsReportedAtMostEvery100msAndNeverHeldBackLonger)
{
    ReportLog log;
    Controller controller(&components, fakes::archiveSource(archive)->archiveReader(), &log, dir.path(), false, 0, 0);
    int64_t lastBefore = -1;
    int64_t lastAfter = -1;
    for (const int64_t endMs = QDateTime::currentMSecsSinceEpoch() + 350; QDateTime::currentMSecsSinceEpoch() < endMs;) {
        const int64_t before = QDateTime::currentMSecsSinceEpoch();
        const int reports = log.reports.count(ControllerEvent::Progress);
        controller.postProgress(0.5);
        QCoreApplication::sendPostedEvents(&log);
        const int64_t after = QDateTime::currentMSecsSinceEpoch();
        if (log.reports.count(ControllerEvent::Progress) > reports) {
            EXPECT_TRUE(lastBefore < 0 || after - lastBefore >= 100) << "two reports closer than 100 ms";
            lastBefore = before;
            lastAfter = after;
        } else {
            ASSERT_GE(lastBefore, 0) << "the first report was held back";
            EXPECT_LE(before - lastAfter, 99) << "a report was held back after 100 ms had passed";
        }
        QThread::usleep(500);
    }
    EXPECT_GE(log.reports.size(), 2u);
}

}  // namespace
}  // namespace harness
