// The read pump and the splitting rules against scripted blocks: where files
// start and what they hold, and the lines the engine prints on the way.
#include "tests/plugin/export/Harness.h"
#include "tests/support/MessageCapture.h"

#include <QDir>
#include <QSet>
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

// Video and audio every 40 ms from `fromMs` to `toMs`, audio 1 ms after video.
Blocks both(int64_t fromMs, int64_t toMs)
{
    Blocks blocks;
    for (int64_t t = fromMs; t <= toMs; t += 40)
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

using PumpTest = FakeExportTest;

TEST_F(PumpTest, FilesStartWhereTheSplittingRulesSay)
{
    const struct {
        const char *name;
        int limitMb;
        Blocks blocks;
        std::vector<int64_t> fileStarts;
        QStringList lines;  // printed at debug level 1
    } cases[] = {
        {"equal times", kLimitOff, {video(1000), audio(1001), video(1040), audio(1040)}, {1000}, {}},
        {"limit off: a pause of 2000 ms stays, one of 2001 ms splits", kLimitOff,
         {video(1000), audio(1001), video(3001), audio(3002), video(5003), audio(5004)}, {1000, 5003},
         {"::shouldStartNewFile: new file for each new fragment"}},
        {"limit on: a pause of 10 s stays", 1, {video(1000), audio(1001), video(11001), audio(11002)}, {1000}, {}},
        {"limit on: a key frame once the file holds 1 MiB splits", 1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)}, {1000, 1040},
         {"::shouldStartNewFile: max file size reached, splitting..."}},
        // Not the key frame one byte short of 1 MiB, nor the audio block past
        // it: with video in the file only a video key frame splits.
        {"limit on: one byte short, then audio waits for the key frame", 1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb - 1), video(1040), audio(1041)}, {1000, 1081}, {}},
        {"limit on: no split at a frame that is not key", 1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040, false), video(1080), audio(1081)},
         {1000, 1080}, {}},
        {"limit on with 0 MB: no size rule", 0,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)}, {1000}, {}},
        // The three bytes become the stream's code, so the next complete key
        // block differs from it and splits again.
        {"key block without a code", kLimitOff, {video(1000), audio(1001), video(1040, true, 3), video(1080), audio(1081)},
         {1000, 1040, 1080}, {"::shouldStartNewFile: no fourcc - it's an error", kFourcc}},
        {"code change at a key block", kLimitOff, {video(1000), audio(1001), video(1040, true, 16, "VID2"), audio(1041)},
         {1000, 1040}, {kFourcc}},
        {"code change at a block that is not key", kLimitOff,
         {video(1000), audio(1001), video(1040, false, 16, "VID2"), audio(1041)}, {1000}, {}},
        {"codes compared within their stream", kLimitOff, both(1000, 1080), {1000}, {}},
        // The pause starts a second file at an audio block that is not key;
        // the video key block after it is compared with the first file's.
        {"code change seen across files", kLimitOff,
         {video(1000), audio(1001), video(1040, false), audio(4000, false), video(4040, true, 16, "VID2"), audio(4041)},
         {1000, 4000, 4040}, {kFourcc}},
        // An audio block stored after a later one splits; the rewind to it
        // brings it again, and then it is left out rather than split again.
        {"block going back in time", kLimitOff,
         both(1000, 1040) + Blocks{fakes::storedAt(audio(1040), 1042), video(1080), audio(1081)}, {1000, 1040},
         {"::shouldStartNewFile: timestamps are not monotonic",
          "block at 1040 ms of stream 8 goes back in time again; left out"}},
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
        Request r = request(1000, lastMs + 50000, QString::number(&c - cases));
        r.limitEnabled = c.limitMb != kLimitOff;
        r.limitMb = std::max(c.limitMb, 0);
        r.debugLevel = 1;
        testsupport::MessageCapture messages;
        const QString summary = exportToEnd(r);
        EXPECT_TRUE(summary.endsWith(QStringLiteral("finished closed@%1").arg(lastMs + 41))) << summary.toStdString();
        std::vector<int64_t> starts;
        for (const Report &report : run.log.reports) {
            if (report.kind == ControllerEvent::FileStarted)
                starts.push_back(report.timeMs);
        }
        EXPECT_EQ(starts, c.fileStarts) << summary.toStdString();
        EXPECT_EQ(mkvFiles(r.dir).size(), qsizetype(c.fileStarts.size()));
        for (const QString &line : c.lines)
            EXPECT_TRUE((messages.debug() + messages.warnings()).contains(line)) << line.toStdString();
    }
}

TEST_F(PumpTest, FilesHoldTheBlocksOfThePeriod)
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
        {"video going back is dropped; the feed goes on 40 ms after the last video",
         both(1000, 1080) + Blocks{fakes::storedAt(video(1020), 1082)} + both(1120, 1120) + Blocks{video(5000)}, 1200,
         1, "started@1000 finished closed@1121", "0 40 80 120; 1 41 81 121",
         {"!DATA SIZE= 16  dts= 1000  key= true  prev= 1000  StreamNo 0",
          "_gatheringInfo && _blockRead time= 1001  data.size= 16", "Info gathered, fragment start= 1000  , cur abs= 1000",
          "setting time base", "writing header"}},
        {"a marker at the end of the period finishes", {video(1000), audio(1001), video(1040), fakes::marker(0, 1041)},
         1040, 1, "started@1000 finished closed@1040", "0 40; 1", {"!streamNo && data.isEmpty()"}},
        {"a stretch without video is stepped over",
         both(1000, 1040) + Blocks{fakes::marker(0, 1042), fakes::marker(0, 1080), fakes::marker(0, 1120),
                                   fakes::marker(0, 1160)} + both(1200, 1240) + Blocks{video(1280)},
         1260, 1, "started@1000 finished closed@1241", "0 40 200 240; 1 41 201 241", {}},
        {"audio only, the period ends while gathering", oneStream(8), 1400, 1, "started@1000 finished closed@1400", eleven, {}},
        {"video only, the period ends while gathering", oneStream(0), 1400, 1, "started@1000 finished closed@1400", eleven, {}},
        {"blocks used for gathering are written after the rewind", both(1000, 1200) + Blocks{video(5000)}, 1300, 3,
         "started@1000 finished closed@1201", "0 40 80 120 160 200; 1 41 81 121 161 201", {}},
        {"no informer ready when the period ends", oneStream(0), 1400, -1, "finished", "", {}},
        // The refused block still counts as the file's last one.
        {"a block that cannot be written ends the export, the file closed",
         {video(1000), audio(1001), video(1040), video(1080, false, 16, "FAIL"), audio(1081), video(5000)}, 2000, 1,
         "started@1000 error1000002 closed@1080", "0 40; 1", {}},
        // The block the writer refused begins the next file.
        {"the writer asks for a new file",
         {video(1000), audio(1001), video(1040), video(2000, false, 16, "NEWF"), audio(2001), video(2040), video(5000)},
         3000, 1, "started@1000 closed@2000 started@2000 finished closed@2040", "0 40; 1 | 0 40; 1",
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
TEST_F(PumpTest, StreamsAreDescribedFromTheFirst150Blocks)
{
    for (int audioAt : {150, 151}) {
        archive->script.clear();
        for (int i = 1; i < audioAt; ++i)
            archive->script.push_back(video(1000 + 40 * i));
        archive->script = archive->script + Blocks{audio(1000 + 40 * audioAt), video(90000)};
        const Request r = request(1000, 50000, QString::number(audioAt));
        const QString summary = exportToEnd(r);
        const QStringList files = mkvFiles(r.dir);
        ASSERT_EQ(files.size(), 1) << summary.toStdString();
        std::set<int> streams;
        for (const Packet &packet : readFile(QDir(r.dir).filePath(files[0])).packets)
            streams.insert(packet.stream);
        EXPECT_EQ(streams.size(), audioAt == 150 ? 2u : 1u) << audioAt << ": " << summary.toStdString();
    }
}

// Only the controller's and the pump's lines depend on the debug level.
TEST_F(PumpTest, AtDebugLevel0OnlyTheWriterSpeaks)
{
    archive->script = both(1000, 1040) + Blocks{fakes::marker(0, 1042)} + both(4000, 4040) +
                      Blocks{video(4080, true, 16, "VID2"), audio(4081), video(9000)};
    testsupport::MessageCapture messages;
    EXPECT_EQ(exportToEnd(request(1000, 5000)),
              "started@1000 closed@1041 started@4000 closed@4041 started@4080 finished closed@4081");
    const QStringList debug = messages.debug();
    EXPECT_EQ(QSet<QString>(debug.begin(), debug.end()), (QSet<QString>{"setting time base", "writing header"}));
}

}  // namespace
}  // namespace harness
