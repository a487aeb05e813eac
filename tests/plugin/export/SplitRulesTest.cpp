// Where the engine starts a new file, and what it prints when it does: blocks
// fed through the pump, each file seen as a FileStarted report with the time
// of its first block.
#include "tests/plugin/export/Harness.h"
#include "tests/support/MessageCapture.h"

namespace harness {
namespace {

using fakes::audio;
using fakes::video;

constexpr int kHalfMb = 524288;
constexpr int kLimitOff = -1;

// The four-character code of the stream's last complete key block.
QByteArray lastCode(const std::vector<fakes::Block> &blocks, uint32_t streamNumber, const char *fallback)
{
    QByteArray code(fallback);
    for (const fakes::Block &block : blocks) {
        if (block.streamNumber == streamNumber && block.key && block.data.size() >= 4)
            code = block.data.left(4);
    }
    return code;
}

using SplitRulesTest = FakeExportTest;

TEST_F(SplitRulesTest, FilesStartAtTheExpectedBlocksForTheRuleThatSaysSo)
{
    const QString fourcc = QStringLiteral("::shouldStartNewFile: previous fourcc is not equal the current one");
    const struct {
        const char *name;
        int limitMb;
        std::vector<fakes::Block> blocks;
        std::vector<int64_t> fileStarts;
        QStringList lines;  // printed at debug level 1
    } cases[] = {
        {"equal times", kLimitOff, {video(1000), audio(1001), video(1040), audio(1040)}, {1000}, {}},
        {"limit off: a pause of 2000 ms stays, one of 2001 ms splits",
         kLimitOff,
         {video(1000), audio(1001), video(3001), audio(3002), video(5003), audio(5004)},
         {1000, 5003},
         {"::shouldStartNewFile: new file for each new fragment"}},
        {"limit on: a pause of 10 s stays", 1, {video(1000), audio(1001), video(11001), audio(11002)}, {1000}, {}},
        {"limit on: a key frame once the file holds 1 MiB splits",
         1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)},
         {1000, 1040},
         {"::shouldStartNewFile: max file size reached, splitting..."}},
        // Not the key frame one byte short of 1 MiB, nor the audio block past
        // it: with video in the file only a video key frame splits.
        {"limit on: one byte short, then audio waits for the key frame",
         1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb - 1), video(1040), audio(1041)},
         {1000, 1081},
         {}},
        {"limit on: no split at a frame that is not a key frame",
         1,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040, false), video(1080), audio(1081)},
         {1000, 1080},
         {}},
        {"limit on with 0 MB: no size rule",
         0,
         {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)},
         {1000},
         {}},
        // The three bytes become the stream's code, so the next complete key
        // block differs from it and splits again.
        {"key block without a code",
         kLimitOff,
         {video(1000), audio(1001), video(1040, true, 3), video(1080), audio(1081)},
         {1000, 1040, 1080},
         {"::shouldStartNewFile: no fourcc - it's an error", fourcc}},
        {"code change at a key block",
         kLimitOff,
         {video(1000), audio(1001), video(1040, true, 16, "VID2"), audio(1041)},
         {1000, 1040},
         {fourcc}},
        {"code change at a block that is not key",
         kLimitOff,
         {video(1000), audio(1001), video(1040, false, 16, "VID2"), audio(1041)},
         {1000},
         {}},
        {"codes compared within their stream",
         kLimitOff,
         {video(1000), audio(1001), video(1040), audio(1041), video(1080), audio(1081)},
         {1000},
         {}},
        // The pause starts a second file at an audio block that is not key;
        // the video key block after it is compared with the first file's.
        {"code change seen across files",
         kLimitOff,
         {video(1000), audio(1001), video(1040, false), audio(4000, false), video(4040, true, 16, "VID2"),
          audio(4041)},
         {1000, 4000, 4040},
         {fourcc}},
        // An audio block stored after a later one splits; the rewind to it
        // brings it again, and then it is left out rather than split again.
        {"block going back in time",
         kLimitOff,
         {video(1000), audio(1001), video(1040), audio(1041), fakes::storedAt(audio(1040), 1042), video(1080),
          audio(1081)},
         {1000, 1040},
         {"::shouldStartNewFile: timestamps are not monotonic",
          "block at 1040 ms of stream 8 goes back in time again; left out"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        archive->script = c.blocks;
        // Key blocks with each stream's last code, so that the last file goes
        // on (and can be described if it began at the last block), then one
        // block past the end of the period.
        const int64_t lastMs = c.blocks.back().timeMs;
        archive->script.push_back(video(lastMs + 40, true, 16, lastCode(c.blocks, 0, "VID1").constData()));
        archive->script.push_back(audio(lastMs + 41, true, 16, lastCode(c.blocks, 8, "AUD1").constData()));
        archive->script.push_back(video(lastMs + 100000));
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
        const QStringList printed = messages.debug() + messages.warnings();
        for (const QString &line : c.lines)
            EXPECT_TRUE(printed.contains(line)) << line.toStdString();
    }
}

}  // namespace
}  // namespace harness
