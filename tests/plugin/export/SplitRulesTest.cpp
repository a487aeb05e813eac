// Where the engine starts a new file, seen end to end: the blocks are fed
// through the pump and each file shows up as a FileStarted report with the
// time of its first block.
#include "tests/plugin/export/ExportFixture.h"

namespace exporttest {
namespace {

constexpr int kHalfMb = 524288;

struct SplitCase {
    const char *name;
    bool limitEnabled;
    int limitMb;
    std::vector<testsupport::FakeBlock> blocks;
    std::vector<int64_t> fileStarts;
};

void PrintTo(const SplitCase &c, std::ostream *out) { *out << c.name; }

testsupport::FakeBlock video(int64_t t, bool key = true, int sizeBytes = 16, const char *fourcc = "VID1")
{
    return makeBlock(0, t, key, sizeBytes, fourcc);
}

testsupport::FakeBlock audio(int64_t t, bool key = true, int sizeBytes = 16, const char *fourcc = "AUD1")
{
    return makeBlock(8, t, key, sizeBytes, fourcc);
}

// The tag of the stream's last complete key block in `blocks`.
QByteArray lastTag(const std::vector<testsupport::FakeBlock> &blocks, uint32_t streamNumber, const char *fallback)
{
    QByteArray tag(fallback);
    for (const auto &block : blocks) {
        if (block.streamNumber == streamNumber && block.key && block.data.size() >= 4)
            tag = block.data.left(4);
    }
    return tag;
}

class SplitRulesTest : public ExportTest, public testing::WithParamInterface<SplitCase> {};

TEST_P(SplitRulesTest, FilesStartAtTheExpectedBlocks)
{
    const SplitCase &c = GetParam();
    archive.script = c.blocks;
    // Two more key blocks with their stream's last tag, so that the last file
    // goes on (and can be described if it began at the last block), then one
    // past the end of the period.
    const int64_t lastMs = c.blocks.back().timeMs;
    archive.script.push_back(video(lastMs + 40, true, 16, lastTag(c.blocks, 0, "VID1").constData()));
    archive.script.push_back(audio(lastMs + 41, true, 16, lastTag(c.blocks, 8, "AUD1").constData()));
    archive.script.push_back(video(lastMs + 100000));
    ExportRequest r = request(1000, lastMs + 50000);
    r.limitEnabled = c.limitEnabled;
    r.limitMb = c.limitMb;
    const QString summary = exportToEnd(r);
    EXPECT_TRUE(summary.endsWith(QStringLiteral("finished closed@%1").arg(lastMs + 41))) << summary.toStdString();
    EXPECT_EQ(run.log.fileStarts(), c.fileStarts) << summary.toStdString();
    EXPECT_EQ(run.log.count(ControllerEvent::FileClosed), int(c.fileStarts.size()));
    EXPECT_EQ(mkvFiles(dir.path()).size(), qsizetype(c.fileStarts.size()));
}

INSTANTIATE_TEST_SUITE_P(
    SplitRules, SplitRulesTest,
    testing::Values(
        SplitCase{"EqualTimesDoNotSplit", false, 0, {video(1000), audio(1001), video(1040), audio(1040)}, {1000}},
        SplitCase{"LimitOffGapOf2000DoesNotSplit2001Does",
                  false,
                  0,
                  {video(1000), audio(1001), video(3001), audio(3002), video(5003), audio(5004)},
                  {1000, 5003}},
        SplitCase{"LimitOnGapOf10sDoesNotSplit", true, 1, {video(1000), audio(1001), video(11001), audio(11002)}, {1000}},
        SplitCase{"LimitOnKeyBlockAtTheLimitSplits",
                  true,
                  1,
                  {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)},
                  {1000, 1040}},
        // Not the video key frame one byte short of the limit, nor the audio
        // block past it: with video in the file only a video key frame splits.
        SplitCase{"LimitOnKeyFrameOneByteShortDoesNotSplitAndAudioWaitsForTheNextKeyFrame",
                  true,
                  1,
                  {video(1000, true, kHalfMb), audio(1001, true, kHalfMb - 1), video(1040), audio(1041)},
                  {1000, 1081}},
        SplitCase{"LimitOnNonKeyBlockOverTheLimitDoesNotSplit",
                  true,
                  1,
                  {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040, false), video(1080), audio(1081)},
                  {1000, 1080}},
        SplitCase{"LimitOnWithZeroMbNeverSplitsBySize",
                  true,
                  0,
                  {video(1000, true, kHalfMb), audio(1001, true, kHalfMb), video(1040), audio(1041)},
                  {1000}},
        // The three bytes become the stream's tag, so the next complete key
        // block differs from it and splits again.
        SplitCase{"ThreeByteKeyBlockSplits",
                  false,
                  0,
                  {video(1000), audio(1001), video(1040, true, 3), video(1080), audio(1081)},
                  {1000, 1040, 1080}},
        SplitCase{"FourccChangeAtKeyBlockSplits",
                  false,
                  0,
                  {video(1000), audio(1001), video(1040, true, 16, "VID2"), audio(1041)},
                  {1000, 1040}},
        SplitCase{"FourccChangeAtNonKeyBlockDoesNotSplit",
                  false,
                  0,
                  {video(1000), audio(1001), video(1040, false, 16, "VID2"), audio(1041)},
                  {1000}},
        SplitCase{"FourccsAreComparedWithinTheirStream",
                  false,
                  0,
                  {video(1000), audio(1001), video(1040), audio(1041), video(1080), audio(1081)},
                  {1000}},
        // The gap starts a second file at a non-key audio block; the video
        // key block after it is compared with the first file's.
        SplitCase{"FourccChangeIsSeenAcrossFiles",
                  false,
                  0,
                  {video(1000), audio(1001), video(1040, false), audio(4000, false), video(4040, true, 16, "VID2"),
                   audio(4041)},
                  {1000, 4000, 4040}}),
    [](const testing::TestParamInfo<SplitCase> &info) { return std::string(info.param.name); });

class SplitDebugTest : public ExportTest, public testing::WithParamInterface<int> {};

TEST_P(SplitDebugTest, ReasonIsPrintedOnlyWithDebugLevel)
{
    archive.script = {video(1000), audio(1001), video(4000), audio(4001), video(4040, true, 16, "VID2"), audio(4041),
                      video(9000)};
    ExportRequest r = request(1000, 5000);
    r.debugLevel = GetParam();
    MessageCapture messages;
    exportToEnd(r);
    EXPECT_EQ(run.log.fileStarts(), (std::vector<int64_t>{1000, 4000, 4040}));
    const QStringList debug = messages.debug();
    EXPECT_EQ(debug.contains(QStringLiteral("::shouldStartNewFile: new file for each new fragment")), GetParam() != 0);
    EXPECT_EQ(debug.contains(QStringLiteral("::shouldStartNewFile: previous fourcc is not equal the current one")),
              GetParam() != 0);
}

INSTANTIATE_TEST_SUITE_P(SplitRules, SplitDebugTest, testing::Values(0, 1));

// A block 1 ms earlier than the last one splits. The source hands out the
// late block only in the feed that is being written, as an archive whose
// blocks arrived out of order would; the rewind to it starts with it.
TEST_F(ExportTest, BlockOneMillisecondEarlierSplits)
{
    archive.feedPolicy = [](int64_t, int feedIndex, testsupport::FakeEncodedDataQueue &queue) {
        std::vector<testsupport::FakeBlock> blocks;
        switch (feedIndex) {
        case 0:
            blocks = {video(1000), audio(1001)};
            break;
        case 1:
            blocks = {video(1000), audio(1001), video(1040), audio(1041), audio(1040), video(1080), audio(1081)};
            break;
        default:
            blocks = {audio(1040), video(1080), audio(1081), video(9000)};
        }
        for (const auto &block : blocks)
            queue.push(block);
    };
    EXPECT_EQ(exportToEnd(request(1000, 5000)), QStringLiteral("started@1000 closed@1041 started@1040 finished closed@1081"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000, 1040}));
}

// An audio block stored after a later one splits the file; the rewind hands
// out the blocks before it again, and the late block comes again: it must not
// split a second time.
TEST_F(ExportTest, OutOfOrderAudioBlockSplitsOnceNotForever)
{
    archive.script = {video(1000), audio(1001), video(1040), audio(1041),
                      testsupport::FakeBlock{audio(1040).data, 8, true, 1040, 1042},
                      video(1080), audio(1081), video(9000)};
    ASSERT_TRUE(run.begin(archive.source(), &components, request(1000, 5000)));
    const bool ended = run.waitFor([&] { return run.ended(); }, 1000);
    run.finish();
    EXPECT_TRUE(ended) << "still splitting after " << run.log.count(ControllerEvent::FileStarted) << " files";
    EXPECT_LE(run.log.count(ControllerEvent::FileStarted), 2);
}

}  // namespace
}  // namespace exporttest
