// The read pump against scripted blocks, judged by what the files hold: video
// going back, markers and stretches without video, gathering the stream
// description and the rewind after it, the period ending while gathering,
// blocks the writer refuses; and the lines the engine prints.
#include "tests/plugin/export/Harness.h"
#include "tests/support/MessageCapture.h"

#include <QDir>
#include <QSet>
#include <set>

namespace harness {
namespace {

using fakes::audio;
using fakes::video;

// Video and audio every 40 ms from `fromMs` to `toMs`, audio 1 ms after video.
std::vector<fakes::Block> both(int64_t fromMs, int64_t toMs)
{
    std::vector<fakes::Block> blocks;
    for (int64_t t = fromMs; t <= toMs; t += 40) {
        blocks.push_back(video(t));
        blocks.push_back(audio(t + 1));
    }
    return blocks;
}

std::vector<fakes::Block> operator+(std::vector<fakes::Block> a, const std::vector<fakes::Block> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Eleven blocks of one stream from 1000 to 1400, then one past the end.
std::vector<fakes::Block> oneStream(uint32_t streamNumber)
{
    std::vector<fakes::Block> blocks;
    for (int64_t t = 1000; t <= 1400; t += 40)
        blocks.push_back(fakes::block(streamNumber, t));
    blocks.push_back(fakes::block(streamNumber, 5000));
    return blocks;
}

using ReadPumpTest = FakeExportTest;

TEST_F(ReadPumpTest, FilesHoldTheBlocksOfThePeriod)
{
    const QString eleven = QStringLiteral("0 40 80 120 160 200 240 280 320 360 400");
    const struct {
        const char *name;
        std::vector<fakes::Block> blocks;
        int64_t toMs;
        int readyAfterKeyBlocks;
        QString summary;
        QString layout;
        QStringList lines;  // printed at debug level 1
    } cases[] = {
        {"video going back is dropped; the feed goes on 40 ms after the last video",
         both(1000, 1080) + std::vector<fakes::Block>{fakes::storedAt(video(1020), 1082)} + both(1120, 1120) +
             std::vector<fakes::Block>{video(5000)},
         1200,
         1,
         "started@1000 finished closed@1121",
         "0 40 80 120; 1 41 81 121",
         {"!DATA SIZE= 16  dts= 1000  key= true  prev= 1000  StreamNo 0",
          "_gatheringInfo && _blockRead time= 1001  data.size= 16",
          "Info gathered, fragment start= 1000  , cur abs= 1000", "setting time base", "writing header"}},
        {"a marker at the end of the period finishes",
         {video(1000), audio(1001), video(1040), fakes::marker(0, 1041)},
         1040,
         1,
         "started@1000 finished closed@1040",
         "0 40; 1",
         {"!streamNo && data.isEmpty()"}},
        {"a stretch without video is stepped over",
         both(1000, 1040) +
             std::vector<fakes::Block>{fakes::marker(0, 1042), fakes::marker(0, 1080), fakes::marker(0, 1120),
                                       fakes::marker(0, 1160)} +
             both(1200, 1240) + std::vector<fakes::Block>{video(1280)},
         1260,
         1,
         "started@1000 finished closed@1241",
         "0 40 200 240; 1 41 201 241",
         {}},
        {"audio only, the period ends while gathering", oneStream(8), 1400, 1, "started@1000 finished closed@1400",
         eleven, {}},
        {"video only, the period ends while gathering", oneStream(0), 1400, 1, "started@1000 finished closed@1400",
         eleven, {}},
        {"blocks used for gathering are written after the rewind",
         both(1000, 1200) + std::vector<fakes::Block>{video(5000)},
         1300,
         3,
         "started@1000 finished closed@1201",
         "0 40 80 120 160 200; 1 41 81 121 161 201",
         {}},
        {"no informer ready when the period ends", oneStream(0), 1400, -1, "finished", "", {}},
        // The refused block still counts as the file's last one.
        {"a block that cannot be written ends the export, the file closed",
         {video(1000), audio(1001), video(1040), video(1080, false, 16, "FAIL"), audio(1081), video(5000)},
         2000,
         1,
         "started@1000 error1000002 closed@1080",
         "0 40; 1",
         {}},
        // The block the writer refused begins the next file.
        {"the writer asks for a new file",
         {video(1000), audio(1001), video(1040), video(2000, false, 16, "NEWF"), audio(2001), video(2040),
          video(5000)},
         3000,
         1,
         "started@1000 closed@2000 started@2000 finished closed@2040",
         "0 40; 1 | 0 40; 1",
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
TEST_F(ReadPumpTest, StreamsAreDescribedFromTheFirst150Blocks)
{
    for (int audioAt : {150, 151}) {
        SCOPED_TRACE(audioAt);
        archive->script.clear();
        for (int i = 1; i < audioAt; ++i)
            archive->script.push_back(video(1000 + 40 * i));
        archive->script.push_back(audio(1000 + 40 * audioAt));
        archive->script.push_back(video(90000));
        const Request r = request(1000, 50000, QString::number(audioAt));
        const QString summary = exportToEnd(r);
        const QStringList files = mkvFiles(r.dir);
        ASSERT_EQ(files.size(), 1) << summary.toStdString();
        std::set<int> streams;
        for (const Packet &packet : readFile(QDir(r.dir).filePath(files[0])).packets)
            streams.insert(packet.stream);
        EXPECT_EQ(streams.size(), audioAt == 150 ? 2u : 1u) << summary.toStdString();
    }
}

// Only the controller's and the pump's lines depend on the debug level.
TEST_F(ReadPumpTest, AtDebugLevel0OnlyTheWriterSpeaks)
{
    archive->script = both(1000, 1040) + std::vector<fakes::Block>{fakes::marker(0, 1042)} + both(4000, 4040) +
                      std::vector<fakes::Block>{video(4080, true, 16, "VID2"), audio(4081), video(9000)};
    testsupport::MessageCapture messages;
    EXPECT_EQ(exportToEnd(request(1000, 5000)),
              "started@1000 closed@1041 started@4000 closed@4041 started@4080 finished closed@4081");
    const QStringList debug = messages.debug();
    EXPECT_EQ(QSet<QString>(debug.begin(), debug.end()),
              (QSet<QString>{QStringLiteral("setting time base"), QStringLiteral("writing header")}));
}

}  // namespace
}  // namespace harness
