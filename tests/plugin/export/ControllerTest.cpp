// The export controller on a real worker thread, started as the dialog
// starts it: finding the first recorded time of the period, its failure
// reports, the ways an export ends early, and the progress throttle.
#include "tests/plugin/export/ExportFixture.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimerEvent>
#include <algorithm>
#include <memory>

namespace exporttest {
namespace {


struct WalkCase {
    const char *name;
    int64_t beginMs;
    int64_t fromMs;
    int64_t toMs;
    int64_t expectedFeedMs;  // -1: nothing to export
};

void PrintTo(const WalkCase &c, std::ostream *out) { *out << c.name; }

class FragmentWalkTest : public ExportTest, public testing::WithParamInterface<WalkCase> {};

TEST_P(FragmentWalkTest, StartsAtTheFirstRecordedTimeOrFinishes)
{
    const WalkCase &c = GetParam();
    archive.setFragments({{1000, 2000}, {5000, 6000}, {9000, 10000}});
    archive.beginTimeMs = c.beginMs;
    ASSERT_TRUE(run.begin(archive.source(), &components, request(c.fromMs, c.toMs)));
    ASSERT_TRUE(run.waitFor([&] { return !archive.feedTimes().empty() || !run.log.reports.empty(); }));
    run.finish();
    if (c.expectedFeedMs < 0) {
        EXPECT_EQ(run.log.summary(true), QStringLiteral("finished"));
        EXPECT_EQ(run.log.reports.at(0).code, 0u);
        EXPECT_TRUE(archive.feedTimes().empty());
    } else {
        EXPECT_EQ(run.log.summary(true), QString());
        ASSERT_FALSE(archive.feedTimes().empty());
        EXPECT_EQ(archive.feedTimes().front(), c.expectedFeedMs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Controller, FragmentWalkTest,
    testing::Values(WalkCase{"BeforeBegin", 1000, 0, 20000, 1000}, WalkCase{"InsideFragment", 1000, 1500, 20000, 1500},
                    WalkCase{"InsideGap", 1000, 3000, 20000, 5000}, WalkCase{"AtFragmentEnd", 1000, 2000, 20000, 5000},
                    WalkCase{"AtLastFragmentEnd", 1000, 10000, 20000, -1},
                    WalkCase{"AfterLastFragment", 1000, 12000, 20000, -1},
                    WalkCase{"FromAfterTo", 1000, 1500, 1499, -1}, WalkCase{"FromEqualsTo", 1000, 1500, 1500, 1500},
                    // Only the archive's begin moves a from forward, not the walk.
                    WalkCase{"BeforeFirstFragmentAfterBegin", 500, 600, 20000, -1},
                    // Compared with the begin as unsigned: a negative from stays.
                    WalkCase{"NegativeFrom", 1000, -1, 20000, -1}),
    [](const testing::TestParamInfo<WalkCase> &info) { return std::string(info.param.name); });

class ControllerTest : public ExportTest {
protected:
    // Exactly one Finished, no feed and no pump afterwards.
    void expectFinishedWithoutTimer()
    {
        ASSERT_TRUE(run.begin(archive.source(), &components, request(0, 20000)));
        ASSERT_TRUE(run.waitForEnd());
        run.idle(30);
        run.finish();
        EXPECT_EQ(run.log.summary(true), QStringLiteral("finished"));
        EXPECT_EQ(run.log.reports.at(0).code, 0u);
        EXPECT_TRUE(archive.feedTimes().empty());
        EXPECT_EQ(archive.readCalls(), 0);  // counts only grow: none at the end either
    }

    // An export over an endless stream of blocks, ended by `end` once the
    // first file is being written. It must end without Finished, the file
    // closed, and the pump must not read any more. With `pauses` the queue
    // runs dry every hundred blocks, so the worker's event loop gets its
    // turn; without, the whole export is one long timer event.
    void expectEndedByStop(const std::function<void()> &end, bool pauses)
    {
        archive.feedPolicy = [pauses](int64_t fromMs, int, testsupport::FakeEncodedDataQueue &queue) {
            auto next = std::make_shared<int64_t>(fromMs);
            auto calls = std::make_shared<int>(0);
            queue.setGenerator([next, calls, pauses](testsupport::FakeBlock *block) {
                if (pauses && ++*calls % 100 == 0)
                    return false;
                const int64_t t = *next;
                *block = makeBlock((t % 2) ? 8 : 0, t);
                *next += (t % 2) ? 39 : 1;
                return true;
            });
        };
        ASSERT_TRUE(run.begin(archive.source(), &components, request(1000, 90000000)));
        ASSERT_TRUE(run.waitFor([&] { return run.log.has(ControllerEvent::FileStarted) && archive.readCalls() > 2000; }));
        end();
        expectPumpEndedWithClosedFile();
        run.finish();
        EXPECT_FALSE(run.log.has(ControllerEvent::Finished));
        EXPECT_FALSE(run.log.has(ControllerEvent::Error));
        EXPECT_EQ(run.log.count(ControllerEvent::FileClosed), 1);
        EXPECT_EQ(mkvFiles(dir.path()).size(), 1);
    }

    // The file has been closed and the pump reads no more.
    void expectPumpEndedWithClosedFile()
    {
        ASSERT_TRUE(run.waitFor([&] { return run.log.has(ControllerEvent::FileClosed); }));
        const long reads = archive.readCalls();
        run.idle(30);
        EXPECT_EQ(archive.readCalls(), reads);
    }

    // Blocks from 1000 to 1201, then nothing: the pump idles with a file open.
    void runUntilIdleWithOpenFile()
    {
        addVideoAndAudio(1000, 1200);
        ASSERT_TRUE(run.begin(archive.source(), &components, request(1000, 5000)));
        // Two blocks to gather, then all twelve again after the rewind.
        ASSERT_TRUE(run.waitFor([&] { return archive.blocksDelivered() == 14 && archive.readCalls() > 100; }));
    }
};

TEST_F(ControllerTest, CreateNeedsAnArchiveReader)
{
    EXPECT_EQ(Controller::create(ComponentRef<IArchiveVideoSource>(), &components, &run.log, dir.path(), false, 0, 0),
              nullptr);
    archive.hasReader = false;
    EXPECT_EQ(Controller::create(archive.source(), &components, &run.log, dir.path(), false, 0, 0), nullptr);
    EXPECT_EQ(archive.queuesMade(), 0);
}

TEST_F(ControllerTest, NoFragmentIndexFinishesOnce)
{
    archive.hasFragmentIndex = false;
    expectFinishedWithoutTimer();
}

TEST_F(ControllerTest, EmptyFragmentListFinishesOnce)
{
    archive.fragments.clear();
    expectFinishedWithoutTimer();
}

TEST_F(ControllerTest, OpenEndedPeriodEndsAtTheArchiveEnd)
{
    archive.setFragments({{1000, 3000}});
    archive.endTimeMs = 2000;
    addVideoAndAudio(1500, 2200);
    EXPECT_EQ(exportToEnd(request(1000, kOpenEnd)), QStringLiteral("started@1500 finished closed@1981"));
    EXPECT_EQ(archive.firstQueueSetup(), "maxBlocks(-1) maxBytes(-1) mode(1)");
    ASSERT_TRUE(run.log.has(ControllerEvent::Progress));
    for (const Report &report : run.log.reports) {
        if (report.kind == ControllerEvent::Progress) {
            // The first block is half way from the start to the archive's end.
            EXPECT_GE(report.progress, 0.5);
            EXPECT_LE(report.progress, 1.0);
        }
    }
    const auto firstProgress = std::find_if(run.log.reports.begin(), run.log.reports.end(),
                                            [](const Report &r) { return r.kind == ControllerEvent::Progress; });
    EXPECT_DOUBLE_EQ(firstProgress->progress, 0.5);
}

TEST_F(ControllerTest, MissingQueueComponentWarnsAndFails)
{
    addVideoAndAudio(1000, 1200);
    velt::unregisterFactory(guids::kEncodedDataQueue);
    MessageCapture messages;
    EXPECT_EQ(exportToEnd(request(1000, 5000)), QStringLiteral("error1000002 finished"));
    EXPECT_TRUE(messages.warnings().contains(QStringLiteral("EncodedDataQueue failed to create")));
    EXPECT_EQ(run.log.reports.at(0).code, kWriteErrorCode);
    EXPECT_TRUE(archive.feedTimes().empty());
}

TEST_F(ControllerTest, ReaderWithoutBlockSourceFails)
{
    addVideoAndAudio(1000, 1200);
    archive.hasBlockSource = false;
    EXPECT_EQ(exportToEnd(request(1000, 5000)), QStringLiteral("error1000002 finished"));
    EXPECT_TRUE(archive.feedTimes().empty());
    EXPECT_TRUE(mkvFiles(dir.path()).isEmpty());
}

TEST_F(ControllerTest, StopFromAnotherThreadEndsWithoutFinished)
{
    expectEndedByStop([this] { run.controller->stop(); }, false);
}

TEST_F(ControllerTest, StopCommandEndsWithoutFinished)
{
    expectEndedByStop([this] { QCoreApplication::postEvent(run.controller, new ExportEvent(1, 0, 0)); }, true);
}

TEST_F(ControllerTest, OtherEventOfTheSameTypeIsIgnored)
{
    addVideoAndAudio(1000, 1200);
    ASSERT_TRUE(run.begin(archive.source(), &components, request(1000, 5000), false));
    QCoreApplication::postEvent(run.controller, new QEvent(kExportEventType));
    run.idle(30);
    EXPECT_TRUE(archive.feedTimes().empty());
    EXPECT_TRUE(run.log.reports.empty());

    // Still waiting for its start.
    QCoreApplication::postEvent(run.controller, new ExportEvent(0, 1000, 5000));
    ASSERT_TRUE(run.waitFor([&] { return !archive.feedTimes().empty(); }));
    EXPECT_EQ(archive.feedTimes().front(), 1000);
}

TEST_F(ControllerTest, NullReceiverExportsWithoutReports)
{
    addVideoAndAudio(1000, 1200);
    archive.script.push_back(makeBlock(0, 9000));
    ExportRequest r = request(1000, 5000);
    r.nullReceiver = true;
    ASSERT_TRUE(run.begin(archive.source(), &components, r));
    ASSERT_TRUE(run.waitFor([&] { return !mkvFiles(dir.path()).isEmpty(); }));
    run.finish();
    EXPECT_TRUE(run.log.reports.empty());
    const auto packets = packetTimes(filePath(mkvFiles(dir.path()).at(0)));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), 6u);
    EXPECT_EQ(packets[1].size(), 6u);
}

TEST_F(ControllerTest, ForeignTimerEventEndsSilentlyAndClosesTheFile)
{
    runUntilIdleWithOpenFile();
    QMetaObject::invokeMethod(
        run.controller,
        [this] {
            QTimerEvent foreign(12345);
            QCoreApplication::sendEvent(run.controller, &foreign);
        },
        Qt::BlockingQueuedConnection);
    expectPumpEndedWithClosedFile();
    run.finish();
    EXPECT_EQ(run.log.summary(), QStringLiteral("started@1000 closed@1201"));
}

TEST_F(ControllerTest, DestroyedWhileWritingClosesAndNamesTheFile)
{
    runUntilIdleWithOpenFile();
    run.finish();
    EXPECT_EQ(run.log.summary(), QStringLiteral("started@1000 closed@1201"));
    EXPECT_EQ(mkvFiles(dir.path()), QStringList{ChunkFile::finalName(1000, 1201)});
}

class ProgressThrottleTest : public ExportTest {
protected:
    ProgressThrottleTest() : controller(&components, archive.reader(), &log, dir.path(), false, 0, 0) {}

    // Calls postProgress once; true when it posted a report.
    bool post(double fraction)
    {
        const int before = log.count(ControllerEvent::Progress);
        controller.postProgress(fraction);
        QCoreApplication::sendPostedEvents(&log);
        return log.count(ControllerEvent::Progress) > before;
    }

    ReportLog log;
    Controller controller;
};

TEST_F(ProgressThrottleTest, BurstWithin100msGivesOneReportTheFirst)
{
    QElapsedTimer loop;
    loop.start();
    for (int i = 0; i < 1000; ++i)
        controller.postProgress(0.25 + i / 10000.0);
    const qint64 elapsedMs = loop.elapsed();
    QCoreApplication::sendPostedEvents(&log);
    if (elapsedMs >= 90)
        GTEST_SKIP() << "the burst took " << elapsedMs << " ms, longer than the throttle's interval";
    ASSERT_EQ(log.reports.size(), 1u);
    EXPECT_EQ(log.reports[0].kind, uint32_t(ControllerEvent::Progress));
    EXPECT_DOUBLE_EQ(log.reports[0].progress, 0.25);
    EXPECT_EQ(log.reports[0].code, 0u);
    EXPECT_EQ(log.reports[0].timeMs, -1);
}

TEST_F(ProgressThrottleTest, ReportsAreAtLeast100msApartAndNoneIsHeldBackLonger)
{
    // Each call's clock reading lies between the readings taken around it.
    int64_t lastBefore = -1;
    int64_t lastAfter = -1;
    int reports = 0;
    const int64_t endMs = QDateTime::currentMSecsSinceEpoch() + 350;
    while (QDateTime::currentMSecsSinceEpoch() < endMs) {
        const int64_t before = QDateTime::currentMSecsSinceEpoch();
        const bool posted = post(0.5);
        const int64_t after = QDateTime::currentMSecsSinceEpoch();
        if (posted) {
            if (lastBefore >= 0) {
                EXPECT_GE(after - lastBefore, 100) << "two reports closer than 100 ms";
            }
            lastBefore = before;
            lastAfter = after;
            ++reports;
        } else {
            ASSERT_GE(lastBefore, 0) << "the first report was held back";
            EXPECT_LE(before - lastAfter, 99) << "a report was held back after 100 ms had passed";
        }
        QThread::usleep(500);
    }
    EXPECT_GE(reports, 2);
}

}  // namespace
}  // namespace exporttest
