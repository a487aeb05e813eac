// The export engine on its worker thread against scripted blocks, started as
// the dialog starts it: where an export begins, how it fails and ends early,
// its progress; where files start and what they hold; the lines it prints.
#include "tests/plugin/export/Harness.h"
#include "tests/support/MessageCapture.h"

#include "plugin/host/Guids.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTimerEvent>
#include <set>

namespace harness {
namespace {

using fakes::audio;
using fakes::video;
using Blocks = std::vector<fakes::Block>;

constexpr int kHalfMb = 524288;
constexpr int kLimitOff = -1;
const QString kFourcc = QStringLiteral("::shouldStartNewFile: previous fourcc is not equal the current one");

Blocks operator+(Blocks a, const Blocks &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Video and audio every `stepMs` from `fromMs` to `toMs`, audio 1 ms after video.
Blocks both(int64_t fromMs, int64_t toMs, int64_t stepMs = 40)
{
    Blocks blocks;
    for (int64_t t = fromMs; t <= toMs; t += stepMs)
        blocks = blocks + Blocks{video(t), audio(t + 1)};
    return blocks;
}

// Eleven blocks of one stream from 1000 to 1400, then one past the end.
Blocks oneStream(uint32_t streamNumber)
{
    Blocks blocks;
    for (int64_t t = 1000; t <= 1400; t += 40)
        blocks.push_back(fakes::block(streamNumber, t));
    return blocks + Blocks{fakes::block(streamNumber, 5000)};
}

// A camera from 1000 ms to `toMs`: a picture every 40 ms, a key frame every
// `keyMs`, an audio block every `audioMs` from 1003 ms.
Blocks camera(int64_t toMs, int64_t keyMs, int64_t audioMs)
{
    Blocks blocks;
    for (int64_t v = 1000, a = 1003; v <= toMs || a <= toMs;) {
        if (v <= a && v <= toMs) {
            blocks.push_back(video(v, (v - 1000) % keyMs == 0));
            v += 40;
        } else {
            blocks.push_back(audio(a));
            a += audioMs;
        }
    }
    return blocks;
}

// `blocks` with the one at `timeMs` stored after those up to `byMs` later.
Blocks late(Blocks blocks, int64_t timeMs, int64_t byMs)
{
    const auto at = std::find_if(blocks.begin(), blocks.end(), [&](const fakes::Block &b) { return b.timeMs == timeMs; });
    const fakes::Block moved = *at;
    blocks.erase(at);
    const auto after = std::find_if(blocks.begin(), blocks.end(), [&](const fakes::Block &b) { return b.timeMs > timeMs + byMs; });
    blocks.insert(after, fakes::storedAt(moved, std::prev(after)->atMs));
    return blocks;
}

// The four-character code of the stream's last complete key block.
QByteArray lastCode(const Blocks &blocks, uint32_t streamNumber)
{
    QByteArray code(streamNumber == 0 ? "VID1" : "AUD1");
    for (const fakes::Block &block : blocks) {
        if (block.streamNumber == streamNumber && block.key && block.data.size() >= 4)
            code = block.data.left(4);
    }
    return code;
}

class EngineTest : public FakeExportTest {
protected:
    // Three recordings with blocks every 100 ms, and one block past them all.
    void recordThreeFragments()
    {
        archive->setFragments({{1000, 2000}, {5000, 6000}, {9000, 10000}});
        archive->script = both(1000, 1900, 100) + both(5000, 5900, 100) + both(9000, 9900, 100) + Blocks{video(30000)};
    }
};

// Where the export begins in the period, or how it ends without a file when
// the archive cannot be read.
TEST_F(EngineTest, TheExportBeginsAtTheFirstRecordedTimeOfThePeriod)
{
    EXPECT_EQ(Controller::create({}, &components, &run, dir.path(), false, 0, 0, true), nullptr);
    const auto asIs = [](fakes::Archive &) {};
    const struct {
        const char *name;
        std::function<void(fakes::Archive &)> breakIt;
        int64_t beginMs, fromMs, toMs;
        const char *first;  // the first report, or "no controller"
    } cases[] = {
        {"before the archive's begin", asIs, 1000, 0, 20000, "started@1000"},
        {"inside a recording", asIs, 1000, 1500, 20000, "started@1500"},
        {"in a gap", asIs, 1000, 3000, 20000, "started@5000"},
        {"at a recording's end", asIs, 1000, 2000, 20000, "started@5000"},
        {"at the last recording's end", asIs, 1000, 10000, 20000, "finished"},
        {"after the last recording", asIs, 1000, 12000, 20000, "finished"},
        {"from after to", asIs, 1000, 1500, 1499, "finished"},
        {"from equal to to", asIs, 1000, 1500, 1500, "started@1500"},
        // Only the archive's begin moves a start forward, not the walk.
        {"before the first recording, after the begin", asIs, 500, 600, 20000, "finished"},
        // Compared with the begin as unsigned: a negative start stays.
        {"negative start", asIs, 1000, -1, 20000, "finished"},
        {"no reader", [](fakes::Archive &a) { a.hasReader = false; }, 1000, 1000, 5000, "no controller"},
        {"no fragment index", [](fakes::Archive &a) { a.hasIndex = false; }, 1000, 1000, 5000, "finished"},
        {"no fragments", [](fakes::Archive &a) { a.fragments.clear(); }, 1000, 1000, 5000, "finished"},
        {"no block source", [](fakes::Archive &a) { a.hasBlockSource = false; }, 1000, 1000, 5000, "error1000002"},
        {"no queue", [](fakes::Archive &) { velt::unregisterFactory(guids::kEncodedDataQueue); }, 1000, 1000, 5000,
         "error1000002"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        *archive = fakes::Archive();
        recordThreeFragments();
        archive->firstMs = c.beginMs;
        fakes::registerQueue();
        c.breakIt(*archive);
        testsupport::MessageCapture messages;
        const Request r = request(c.fromMs, c.toMs, QString::number(&c - cases));
        const QString summary = exportToEnd(r);
        EXPECT_TRUE((summary + ' ').startsWith(QLatin1String(c.first) + ' ')) << summary.toStdString();
        EXPECT_EQ(mkvFiles(r.dir).isEmpty(), !QLatin1String(c.first).startsWith(QLatin1String("started")));
        EXPECT_EQ(messages.warnings().contains(QStringLiteral("EncodedDataQueue failed to create")),
                  std::string(c.name) == "no queue");
        // At debug level 0 only the writer speaks, not the controller or the pump.
        EXPECT_TRUE(messages.debug().filter(QRegularExpression("^(?!setting time base|writing header)")).isEmpty());
    }
}

TEST_F(EngineTest, AnOpenEndedPeriodEndsAtTheArchiveEndAndProgressCountsToIt)
{
    archive->setFragments({{1000, 3000}});
    archive->lastMs = 2000;
    archive->script = both(1500, 2200);
    EXPECT_EQ(exportToEnd(request(1000, kOpenEnd)), QStringLiteral("started@1500 closed@1981 finished"));
    // The first block lies half way from the start to the archive's end.
    const auto progress = std::find_if(run.reports.begin(), run.reports.end(),
                                       [](const Report &r) { return r.kind == ControllerEvent::Progress; });
    ASSERT_NE(progress, run.reports.end());
    EXPECT_DOUBLE_EQ(progress->progress, 0.5);
}

// Over an endless stream of blocks (the queue runs dry every hundred, so the
// worker's event loop gets its turn), ended once the first file is written
// other than by the dialog's closing: the file is closed and named, and the
// export does not claim to have finished.
TEST_F(EngineTest, AnExportEndedEarlyClosesItsFile)
{
    archive->feed = fakes::endlessFeed(100);
    const std::pair<const char *, QEvent *(*)()> cases[] = {
        {"stop command", [] { return static_cast<QEvent *>(new ExportEvent(1, 0, 0)); }},
        {"a timer event not its own", [] { return static_cast<QEvent *>(new QTimerEvent(12345)); }},
    };
    for (const auto &[name, event] : cases) {
        SCOPED_TRACE(name);
        const Request r = request(1000, 90000000, QLatin1String(name));
        run.reports.clear();
        ASSERT_TRUE(run.begin(fakes::archiveSource(archive), &components, r));
        ASSERT_TRUE(QTest::qWaitFor([&] { return run.reports.count(ControllerEvent::FileStarted) > 0; }, 10000));
        // An event of the same type that is not an ExportEvent is no command.
        QCoreApplication::postEvent(run.controller, new QEvent(kExportEventType));
        QCoreApplication::postEvent(run.controller, event());
        EXPECT_TRUE(QTest::qWaitFor([&] { return run.reports.count(ControllerEvent::FileClosed) > 0; }, 10000));
        run.finish();
        EXPECT_EQ(run.reports.summary(false), QStringLiteral("started closed"));
        EXPECT_EQ(mkvFiles(r.dir).size(), 1);
    }
}

// Each report's clock reading lies between the readings taken around the
// call that posted it.
TEST_F(EngineTest, ProgressIsReportedAtMostEvery100msAndNeverHeldBackLonger)
{
    ExportRun log;
    Controller controller(&components, fakes::archiveSource(archive)->archiveReader(), &log, dir.path(), false, 0, 0, true);
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


// Each file as "first block ms, why it began", and, when its video begins
// without a key frame, "key@" its first key frame: "1523 time went back key@2000".
TEST_F(EngineTest, FilesStartWhereTheSplittingRulesSay)
{
    const QString backwards = QStringLiteral("::shouldStartNewFile: timestamps are not monotonic");
    const struct {
        const char *name;
        int limitMb;
        Blocks blocks;
        QStringList files;
        QStringList lines;  // printed at debug level 1, or warned
        std::pair<int64_t, int64_t> unread{0, 0};  // blocks in [first, second) are in no file
    } cases[] = {
        {"equal times", kLimitOff, {video(1000), audio(1001), video(1040), audio(1040)}, {"1000 period start"}, {}},
        {"limit on: a key frame once the file holds 1 MiB splits", 1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)},
         {"1000 period start", "1040 size limit"}, {"::shouldStartNewFile: max file size reached, splitting..."}},
        // Not the key frame one byte short of 1 MiB, nor the audio block past
        // it: with video in the file only a video key frame splits.
        {"limit on: one byte short, then audio waits for the key frame", 1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb - 1), video(1040), audio(1041)},
         {"1000 period start", "1081 size limit"}, {}},
        {"limit on: no split at a frame that is not key", 1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040, false), video(1080), audio(1081)},
         {"1000 period start", "1080 size limit"}, {}},
        {"limit on with 0 MB: no size rule", 0,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)}, {"1000 period start"}, {}},
        // The three bytes become the stream's code, so the next complete key
        // block differs from it and splits again.
        {"key block without a code", kLimitOff,
         {video(1000), audio(1001), video(1040, true, 3), video(1060, false), video(1080), audio(1081)},
         {"1000 period start", "1040 codec change key@none", "1080 codec change"},
         {"::shouldStartNewFile: no fourcc - it's an error", kFourcc}},
        {"code change at a key block", kLimitOff, {video(1000), audio(1001), video(1040, true, 16, "VID2"), audio(1041)},
         {"1000 period start", "1040 codec change"}, {kFourcc}},
        {"code change at a block that is not key", kLimitOff,
         {video(1000), audio(1001), video(1040, false, 16, "VID2"), audio(1041)}, {"1000 period start"}, {}},
        {"codes compared within their stream", kLimitOff, both(1000, 1080), {"1000 period start"}, {}},
        // The pause starts a second file at an audio block that is not key;
        // the video key block after it is compared with the first file's.
        {"code change seen across files", kLimitOff,
         {video(1000), audio(1001), video(1040, false), audio(4000, false), video(4040, true, 16, "VID2"), audio(4041)},
         {"1000 period start", "4000 new recording", "4040 codec change"},
         {"::shouldStartNewFile: new file for each new fragment", kFourcc}},
        // A block stored after later ones begins the next file, which then
        // goes on with the blocks stored after it: the pictures before the
        // next key frame continue the file before.
        {"audio 30 ms late, key frame every 0.5 s, 20 ms audio", kLimitOff, late(camera(2960, 500, 20), 1523, 30),
         {"1000 period start", "1523 time went back key@2000"}, {backwards}},
        // Further off than the blocks gathering looks at, the video is
        // described by the key frame the file before ends with.
        {"audio 400 ms late, key frame every 10 s, 64 ms audio", kLimitOff, late(camera(12960, 10000, 64), 1515, 400),
         {"1000 period start", "1515 time went back key@11000"}, {backwards}},
        {"picture 100 ms late, key frame every 0.5 s, 64 ms audio", kLimitOff, late(camera(2960, 500, 64), 1520, 100),
         {"1000 period start", "1520 time went back key@2000"}, {backwards}},
        {"picture 100 ms late, key frame every 10 s, 20 ms audio", kLimitOff, late(camera(12960, 10000, 20), 1520, 100),
         {"1000 period start", "1520 time went back key@11000"}, {backwards}},
        // Stored before its time, the block that split is not in the feed
        // from its time: the file begins where reading goes on, after the
        // end of the recording.
        {"the block that split does not come again", kLimitOff,
         both(1000, 1080) + Blocks{fakes::storedAt(audio(4000), 1082)} + both(4040, 4080) +
             Blocks{fakes::marker(6000, 4100)} + both(6000, 6040),
         {"1000 period start", "6000 new recording"},
         {"block at 4000 ms of stream 8 that began a file was not read again; the file begins after it"}, {4000, 6000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Key blocks with each stream's last code, so that the last file goes
        // on (and can be described if it began at the last block), then one
        // block past the end of the period.
        const int64_t lastMs = c.blocks.back().timeMs;
        archive->script = c.blocks + Blocks{video(lastMs + 40, true, 16, lastCode(c.blocks, 0).constData()),
                                            audio(lastMs + 41, true, 16, lastCode(c.blocks, 8).constData()),
                                            video(lastMs + 100000)};
        archive->feeds = 0;
        Request r = request(1000, lastMs + 50000, QString::number(&c - cases));
        r.limitEnabled = c.limitMb != kLimitOff;
        r.limitMb = std::max(c.limitMb, 0);
        r.debugLevel = 1;
        testsupport::MessageCapture messages;
        const QString summary = exportToEnd(r);
        EXPECT_TRUE(summary.endsWith(QStringLiteral("closed@%1 finished").arg(lastMs + 41))) << summary.toStdString();
        for (const QString &line : c.lines)
            EXPECT_TRUE((messages.debug() + messages.warnings()).contains(line)) << line.toStdString();

        // Every block of the period with a packet is in exactly one file.
        QStringList files;
        std::multiset<int64_t> exported, expected;
        for (const QJsonValue &value : recordsIn(r.dir).at(0).value("files").toArray()) {
            const QJsonObject file = value.toObject();
            const int64_t firstMs = int64_t(file.value("firstBlock").toObject().value("ms").toDouble());
            const QJsonValue key = file.value("firstKeyFrame").toObject().value("ms");
            files << QStringLiteral("%1 %2").arg(firstMs).arg(file.value("began").toString()) +
                         (file.value("continuesPreviousFile").toBool() ? " key@" + (key.isDouble() ? QString::number(key.toDouble()) : "none")
                                                                    : QString());
            for (const Packet &packet : readFile(r.dir + '/' + file.value("name").toString()).packets)
                exported.insert(firstMs + packet.ptsMs);
        }
        for (const fakes::Block &block : archive->script) {
            if (block.data.size() > 4 && block.timeMs <= r.toMs && (block.timeMs < c.unread.first || block.timeMs >= c.unread.second))
                expected.insert(block.timeMs);
        }
        EXPECT_EQ(files, c.files) << summary.toStdString();
        EXPECT_TRUE(exported == expected) << exported.size() << " blocks exported of " << expected.size();
        // One feed to gather, one after each file's rewind, one where the
        // recording ends: no stepping through what was written before.
        EXPECT_LE(archive->feeds, files.size() + 2);
    }
}

TEST_F(EngineTest, FilesHoldTheBlocksOfThePeriod)
{
    const QString eleven = QStringLiteral("0 40 80 120 160 200 240 280 320 360 400");
    const struct {
        const char *name;
        Blocks blocks;
        int64_t toMs;
        int readyAfterKeyBlocks;
        QString summary, layout;
        QStringList lines;  // printed at debug level 1
    } cases[] = {
        {"a marker at the end of the period finishes", {video(1000), audio(1001), video(1040), fakes::marker(0, 1041)},
         1040, 1, "started@1000 closed@1040 finished", "0 40; 1", {"!streamNo && data.isEmpty()"}},
        {"a marker without a time steps 40 ms on", {video(1000), audio(1001), video(1040), fakes::marker(0, 1041), video(1080),
         video(5000)}, 1080, 1, "started@1000 closed@1080 finished", "0 40 80; 1", {}},
        {"a stretch without video is stepped over",
         both(1000, 1040) + Blocks{fakes::marker(0, 1042), fakes::marker(0, 1080), fakes::marker(0, 1120),
                                   fakes::marker(0, 1160)} + both(1200, 1240) + Blocks{video(1280)},
         1260, 1, "started@1000 closed@1241 finished", "0 40 200 240; 1 41 201 241", {}},
        {"audio only, the period ends while gathering", oneStream(8), 1400, 1, "started@1000 closed@1400 finished", eleven, {}},
        {"video only, the period ends while gathering", oneStream(0), 1400, 1, "started@1000 closed@1400 finished", eleven, {}},
        {"blocks used for gathering are written after the rewind", both(1000, 1200) + Blocks{video(5000)}, 1300, 3,
         "started@1000 closed@1201 finished", "0 40 80 120 160 200; 1 41 81 121 161 201",
         {"!DATA SIZE= 16  dts= 1000  key= true  prev= 1000  StreamNo 0",
          "_gatheringInfo && _blockRead time= 1001  data.size= 16", "Info gathered, fragment start= 1000  , cur abs= 1080",
          "setting time base", "writing header"}},
        {"no informer ready when the period ends", oneStream(0), 1400, -1, "finished", "", {}},
        // The refused block still counts as the file's last one.
        {"a block that cannot be written ends the export, the file closed",
         {video(1000), audio(1001), video(1040), video(1080, false, 16, "FAIL"), audio(1081), video(5000)}, 2000, 1,
         "started@1000 closed@1080 error1000002", "0 40; 1", {}},
        // The block the writer refused begins the next file.
        {"the writer asks for a new file",
         {video(1000), audio(1001), video(1040), video(2000, false, 16, "NEWF"), audio(2001), video(2040), video(5000)},
         3000, 1, "started@1000 closed@2000 started@2000 closed@2040 finished", "0 40; 1 | 0 40; 1",
         {"startNewFile by !_currentFile->writeBlock(header, data, startNewFile)"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        archive->script = c.blocks;
        Request r = request(1000, c.toMs, QString::number(&c - cases));
        r.debugLevel = 1;
        testsupport::MessageCapture messages;
        EXPECT_EQ(exportToEnd(r, c.readyAfterKeyBlocks), c.summary);
        EXPECT_EQ(layout(r.dir), c.layout);
        for (const QString &line : c.lines)
            EXPECT_TRUE(messages.debug().contains(line)) << line.toStdString();
    }
}

// The gathering ends at the 150th block: a stream whose first block comes
// later is not described and cannot be written.
TEST_F(EngineTest, StreamsAreDescribedFromTheFirst150Blocks)
{
    for (int audioAt : {150, 151}) {
        archive->script.clear();
        for (int i = 1; i < audioAt; ++i)
            archive->script.push_back(video(1000 + 40 * i));
        archive->script = archive->script + Blocks{audio(1000 + 40 * audioAt), video(90000)};
        const Request r = request(1000, 50000, QString::number(audioAt));
        const QString summary = exportToEnd(r);
        ASSERT_EQ(mkvFiles(r.dir).size(), 1) << summary.toStdString();
        // A file with two streams lays them out as "video; audio".
        EXPECT_EQ(layout(r.dir).contains(';'), audioAt == 150) << summary.toStdString();
    }
}

}  // namespace
}  // namespace harness
