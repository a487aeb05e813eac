// The read pump against scripted blocks: debug output, dropped and empty
// video blocks, stepping over a stretch without video, gathering and the
// rewind, files split by a gap, the end of the period while gathering, and
// an output folder that cannot be written.
#include "tests/plugin/export/ExportFixture.h"

#include <QFile>

namespace exporttest {
namespace {

class ReadPumpTest : public ExportTest {
protected:
    // Eleven blocks of one stream from 1000 to 1400, then one past the end:
    // the period ends while the description still waits for the other
    // stream, and all eleven are written into one file.
    void expectSingleStreamFile(uint32_t streamNumber)
    {
        for (int64_t t = 1000; t <= 1400; t += 40)
            archive.script.push_back(makeBlock(streamNumber, t));
        archive.script.push_back(makeBlock(streamNumber, 5000));
        EXPECT_EQ(exportToEnd(request(1000, 1400)), QStringLiteral("started@1000 finished closed@1400"));
        const auto packets = packetTimes(filePath(mkvFiles(dir.path()).value(0)));
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].size(), 11u);
    }
};

class DebugOutputTest : public ExportTest, public testing::WithParamInterface<int> {};

TEST_P(DebugOutputTest, EngineLinesOnlyWithDebugLevel)
{
    const int debugLevel = GetParam();
    addVideoAndAudio(1000, 1040);
    archive.script.push_back(makeMarker(0, 1042));
    ExportRequest r = request(1000, 1060);
    r.debugLevel = debugLevel;
    MessageCapture messages;
    EXPECT_EQ(exportToEnd(r), QStringLiteral("started@1000 finished closed@1041"));

    const QStringList engineLines{QStringLiteral("!DATA SIZE="), QStringLiteral("!streamNo && data.isEmpty()"),
                                  QStringLiteral("_gatheringInfo && _blockRead time="),
                                  QStringLiteral("Info gathered, fragment start=")};
    for (const QString &line : engineLines)
        EXPECT_EQ(messages.debugStartsWith(line), debugLevel != 0) << line.toStdString();
    // The chunk writer's lines do not depend on the level.
    EXPECT_TRUE(messages.debug().contains(QStringLiteral("writing header")));
    if (debugLevel != 0) {
        const QStringList debug = messages.debug();
        EXPECT_TRUE(debug.contains(QStringLiteral("!DATA SIZE= 16  dts= 1000  key= true  prev= 1000  StreamNo 0")))
            << debug.join(QLatin1Char('\n')).toStdString();
        EXPECT_TRUE(debug.contains(QStringLiteral("Info gathered, fragment start= 1000  , cur abs= 1000")));
        EXPECT_TRUE(debug.contains(QStringLiteral("_gatheringInfo && _blockRead time= 1001  data.size= 16")));
    }
}

INSTANTIATE_TEST_SUITE_P(ReadPump, DebugOutputTest, testing::Values(0, 1));

TEST_F(ReadPumpTest, BackwardVideoBlockIsDroppedAndFeedingRestarts40msLater)
{
    addVideoAndAudio(1000, 1080);
    archive.script.push_back(testsupport::FakeBlock{makeBlock(0, 1020).data, 0, true, 1020, 1082});
    addVideoAndAudio(1120, 1120);
    archive.script.push_back(makeBlock(0, 5000));
    EXPECT_EQ(exportToEnd(request(1000, 1200)), QStringLiteral("started@1000 finished closed@1121"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000, 1120}));
    const auto files = mkvFiles(dir.path());
    ASSERT_EQ(files.size(), 1);
    const auto packets = packetTimes(filePath(files[0]));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (std::vector<int64_t>{0, 40, 80, 120}));
    EXPECT_EQ(packets[1], (std::vector<int64_t>{1, 41, 81, 121}));
}

TEST_F(ReadPumpTest, EmptyVideoBlockAtTheEndFinishesWithoutFeeding)
{
    archive.script = {makeBlock(0, 1000), makeBlock(8, 1001), makeBlock(0, 1040), makeMarker(0, 1041)};
    EXPECT_EQ(exportToEnd(request(1000, 1040)), QStringLiteral("started@1000 finished closed@1040"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000}));
    EXPECT_EQ(archive.blockSourceCalls(), 1);
}

TEST_F(ReadPumpTest, StretchWithoutVideoIsSteppedWithAFreshSourceEach40ms)
{
    addVideoAndAudio(1000, 1040);
    for (int64_t at : {1042, 1080, 1120, 1160})
        archive.script.push_back(makeMarker(0, at));
    addVideoAndAudio(1200, 1240);
    archive.script.push_back(makeBlock(0, 1280));
    EXPECT_EQ(exportToEnd(request(1000, 1260)), QStringLiteral("started@1000 finished closed@1241"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000, 1080, 1120, 1160, 1200}));
    EXPECT_EQ(archive.blockSourceCalls(), 5);
    const auto packets = packetTimes(filePath(mkvFiles(dir.path()).value(0)));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (std::vector<int64_t>{0, 40, 200, 240}));
}

TEST_F(ReadPumpTest, AudioOnlyPeriodEndsWhenABlockPassesTheEnd)
{
    expectSingleStreamFile(8);
}

TEST_F(ReadPumpTest, GapOfThreeSecondsGivesTwoFilesInReportOrder)
{
    addVideoAndAudio(1000, 1080);
    addVideoAndAudio(4080, 4160);
    archive.script.push_back(makeBlock(0, 5000));
    EXPECT_EQ(exportToEnd(request(1000, 4200)),
              QStringLiteral("started@1000 closed@1081 started@4080 finished closed@4161"));
    // The first file's first block always brings a progress report.
    EXPECT_TRUE(run.log.summary(true).startsWith(QStringLiteral("started@1000 progress ")));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000, 4080}));
    QStringList expected{ChunkFile::finalName(1000, 1081), ChunkFile::finalName(4080, 4161)};
    expected.sort();
    const QStringList files = mkvFiles(dir.path());
    ASSERT_EQ(files, expected);
    for (const QString &file : files) {
        const auto packets = packetTimes(filePath(file));
        ASSERT_EQ(packets.size(), 2u);
        EXPECT_EQ(packets[0], (std::vector<int64_t>{0, 40, 80}));
        EXPECT_EQ(packets[1], (std::vector<int64_t>{1, 41, 81}));
    }
}

TEST_F(ReadPumpTest, BlocksUsedForGatheringAreWrittenAfterTheRewind)
{
    codecs.readyAfterKeyBlocks = 3;
    addVideoAndAudio(1000, 1200);
    archive.script.push_back(makeBlock(0, 5000));
    EXPECT_EQ(exportToEnd(request(1000, 1300)), QStringLiteral("started@1000 finished closed@1201"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000}));
    const auto packets = packetTimes(filePath(mkvFiles(dir.path()).value(0)));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (std::vector<int64_t>{0, 40, 80, 120, 160, 200}));
}

TEST_F(ReadPumpTest, ShortVideoOnlyRecordingIsWrittenWhenThePeriodEndsWhileGathering)
{
    expectSingleStreamFile(0);
}

TEST_F(ReadPumpTest, LongVideoOnlyRecordingIsDescribedAfter150BlocksAndWrittenWhole)
{
    for (int64_t t = 1000; t < 1000 + 200 * 40; t += 40)
        archive.script.push_back(makeBlock(0, t));
    archive.script.push_back(makeBlock(0, 90000));
    EXPECT_EQ(exportToEnd(request(1000, 50000)), QStringLiteral("started@1000 finished closed@8960"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000}));
    // Described by the 151st block, before the period's end was seen.
    EXPECT_EQ(archive.blocksDelivered(), 151 + 201);
    const auto packets = packetTimes(filePath(mkvFiles(dir.path()).value(0)));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), 200u);
}

TEST_F(ReadPumpTest, PeriodEndingWhileGatheringWithoutReadyInformerJustFinishes)
{
    codecs.readyAfterKeyBlocks = -1;
    for (int64_t t = 1000; t <= 1400; t += 40)
        archive.script.push_back(makeBlock(0, t));
    archive.script.push_back(makeBlock(0, 5000));
    EXPECT_EQ(exportToEnd(request(1000, 1400)), QStringLiteral("finished"));
    EXPECT_GE(codecs.informersMade(), 1);
    // Nothing but the export's record.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).filter(QStringLiteral(".json")).size(), 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);
}

TEST_F(ReadPumpTest, BlockThatCannotBeWrittenEndsWithErrorThenClosesTheFile)
{
    archive.script = {makeBlock(0, 1000), makeBlock(8, 1001), makeBlock(0, 1040), makeBlock(0, 1080, false, 16, "FAIL"),
                      makeBlock(8, 1081), makeBlock(0, 5000)};
    // The refused block still counts as the file's last one.
    EXPECT_EQ(exportToEnd(request(1000, 2000)), QStringLiteral("started@1000 error1000002 closed@1080"));
    EXPECT_EQ(mkvFiles(dir.path()), QStringList{ChunkFile::finalName(1000, 1080)});
    const auto packets = packetTimes(filePath(mkvFiles(dir.path()).value(0)));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (std::vector<int64_t>{0, 40}));
}

TEST_F(ReadPumpTest, WriterAskingForANewFileStartsItWithTheSameBlock)
{
    archive.script = {makeBlock(0, 1000), makeBlock(8, 1001), makeBlock(0, 1040), makeBlock(0, 2000, false, 16, "NEWF"),
                      makeBlock(8, 2001), makeBlock(0, 2040), makeBlock(0, 5000)};
    ExportRequest r = request(1000, 3000);
    r.debugLevel = 1;
    MessageCapture messages;
    // The refused block still counts as the first file's last one.
    EXPECT_EQ(exportToEnd(r), QStringLiteral("started@1000 closed@2000 started@2000 finished closed@2040"));
    EXPECT_EQ(archive.feedTimes(), (std::vector<int64_t>{1000, 1000, 2000}));
    EXPECT_TRUE(messages.debug().contains(QStringLiteral("startNewFile by !_currentFile->writeBlock(header, data, startNewFile)")));
    QStringList expected{ChunkFile::finalName(1000, 2000), ChunkFile::finalName(2000, 2040)};
    expected.sort();
    ASSERT_EQ(mkvFiles(dir.path()), expected);
    // The second file begins with the block the first one refused.
    const auto packets = packetTimes(filePath(ChunkFile::finalName(2000, 2040)));
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (std::vector<int64_t>{0, 40}));
    EXPECT_EQ(packets[1], (std::vector<int64_t>{1}));
}

TEST_F(ReadPumpTest, UnwritableFolderReportsAnErrorAndWritesNothing)
{
    QFile blocker(filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    addVideoAndAudio(1000, 1200);
    ExportRequest r = request(1000, 5000);
    r.dir = blocker.fileName() + QStringLiteral("/out");
    EXPECT_EQ(exportToEnd(r), QStringLiteral("error1000002"));
    EXPECT_EQ(run.log.reports.at(0).code, kWriteErrorCode);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("not-a-folder")});
}

}  // namespace
}  // namespace exporttest
