// velt-archive import: media files made by the ffmpeg command, recorded
// without re-encoding and read back: the pictures decoded from the archive
// equal those decoded from the file, audio bytes are the file's own.
#include "tests/client/tools/ToolTestUtil.h"

#include "client/codecs/Libav.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using archivetest::Block;
using namespace tooltest;

struct ImportCase {
    const char *name;
    QStringList ffmpegArguments;  // after the test picture input
    const char *file;
    uint32_t videoCode;
    uint32_t audioCode;
    int adtsHeaderBytes;  // the file's AAC packets are raw; the blocks add this header
};

void PrintTo(const ImportCase &c, std::ostream *out)
{
    *out << c.name;
}

class ImportFormats : public testing::TestWithParam<ImportCase> {};

// Each file is imported twice with a 2 s gap: the second fragment starts
// 2 s after the first one's last block.
TEST_P(ImportFormats, KeepsTheFilesPicturesAndSound)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "no ffmpeg command";
    const ImportCase &c = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(runFfmpeg(kTestPicture + c.ffmpegArguments + QStringList{c.file}, tmp.path()));
    const QString file = tmp.filePath(c.file);
    const ToolRun run = runTool({"import", "arch", c.file, c.file, "--gap", "2", "--start", "2024-05-01T08:00:00"},
                                tmp.path());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    const FileStream video = readFileStream(file, AVMEDIA_TYPE_VIDEO);
    const FileStream audio = readFileStream(file, AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(video.pictures.size(), 50u);
    const std::vector<archive::FragmentInfo> fragments = fragmentsOf(tmp.filePath("arch"));
    const std::vector<std::vector<Block>> blocks = blocksOf(tmp.filePath("arch"));
    ASSERT_EQ(fragments.size(), 2u);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(fragments[0].startMs, localMs("2024-05-01T08:00:00"));
    EXPECT_EQ(fragments[1].startMs, fragments[0].endMs + 2000);
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE("fragment " + std::to_string(k));
        EXPECT_EQ(fragments[k].videoFourcc, c.videoCode);
        EXPECT_EQ(fragments[k].audioFourcc, c.audioCode);
        EXPECT_EQ(fragments[k].videoBlocks, 50);
        EXPECT_EQ(fragments[k].audioBlocks, int64_t(audio.packets.size()));
        ASSERT_FALSE(blocks[k].empty());
        EXPECT_EQ(blocks[k].front().stream, archivetest::V);
        EXPECT_TRUE(blocks[k].front().key);

        // No extradata: what decodes here is in the payloads themselves.
        Decoder decoder(codecs::codecIdOf(c.videoCode));
        size_t videoIndex = 0, audioIndex = 0;
        int64_t previousMs = INT64_MIN;
        for (const Block &b : blocks[k]) {
            EXPECT_GE(b.timeMs, previousMs);
            previousMs = b.timeMs;
            if (b.stream == archivetest::V) {
                EXPECT_EQ(fourcc::of(b.payload), c.videoCode);
                // 25 pictures a second from 0, in every file.
                EXPECT_EQ(b.timeMs, fragments[k].startMs + int64_t(videoIndex) * 40) << videoIndex;
                EXPECT_TRUE(decoder.decode(body(b.payload)));
                if (c.videoCode != fourcc::kMjpeg) {
                    EXPECT_TRUE(body(b.payload).startsWith(QByteArray("\0\0\1", 3)) ||
                                body(b.payload).startsWith(QByteArray("\0\0\0\1", 4)))
                        << "Annex B at " << videoIndex;
                }
                ++videoIndex;
            } else if (audioIndex < audio.packets.size()) {
                EXPECT_EQ(fourcc::of(b.payload), c.audioCode);
                EXPECT_EQ(body(b.payload).mid(c.adtsHeaderBytes), audio.packets[audioIndex]) << audioIndex;
                EXPECT_EQ(b.timeMs, fragments[k].startMs + std::max<int64_t>(0, audio.ptsMs[audioIndex])) << audioIndex;
                ++audioIndex;
            }
        }
        EXPECT_TRUE(decoder.finish());
        EXPECT_TRUE(decoder.pictures == video.pictures) << "decoded pictures differ from the file's";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ImportFormats,
    testing::Values(
        ImportCase{"H264AacMp4",
                   {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=16000", "-t", "2", "-pix_fmt", "yuv420p",
                    "-c:v", "libx264", "-bf", "0", "-g", "10", "-c:a", "aac"},
                   "in.mp4", fourcc::kH264, fourcc::kAac, 7},
        ImportCase{"HevcAlawMkv",
                   {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=8000", "-t", "2", "-pix_fmt", "yuv420p",
                    "-c:v", "libx265", "-x265-params", "bframes=0:log-level=error", "-c:a", "pcm_alaw", "-ac", "1"},
                   "in.mkv", fourcc::kHevc, fourcc::kAlaw, 0},
        ImportCase{"MjpegUlawAvi",
                   {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=8000", "-t", "2", "-pix_fmt", "yuvj420p",
                    "-c:v", "mjpeg", "-c:a", "pcm_mulaw", "-ac", "1"},
                   "in.avi", fourcc::kMjpeg, fourcc::kUlaw, 0},
        // Durations but no timestamps.
        ImportCase{"RawH264",
                   {"-t", "2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0", "-g", "10"},
                   "in.h264", fourcc::kH264, 0, 0}),
    [](const testing::TestParamInfo<ImportCase> &info) { return std::string(info.param.name); });

// Without --start the first fragment starts at the file's creation time;
// without that, now.
TEST(Import, StartsAtTheCreationTimeElseNow)
{
    if (!haveFfmpeg())
        GTEST_SKIP() << "no ffmpeg command";
    QTemporaryDir tmp;
    ASSERT_TRUE(runFfmpeg(kTestPicture + QStringList{"-t", "0.4", "-c:v", "mjpeg", "-metadata",
                                                     "creation_time=2024-05-01T08:00:00Z", "stamped.mkv"},
                          tmp.path()));
    ASSERT_TRUE(runFfmpeg(kTestPicture + QStringList{"-t", "0.4", "-c:v", "mjpeg", "plain.mkv"}, tmp.path()));

    ASSERT_EQ(runTool({"import", "stamped", "stamped.mkv"}, tmp.path()).exitCode, 0);
    const std::vector<archive::FragmentInfo> stamped = fragmentsOf(tmp.filePath("stamped"));
    ASSERT_EQ(stamped.size(), 1u);
    EXPECT_EQ(stamped[0].startMs, QDateTime::fromString("2024-05-01T08:00:00Z", Qt::ISODate).toMSecsSinceEpoch());

    const int64_t beforeMs = QDateTime::currentSecsSinceEpoch() * 1000;
    ASSERT_EQ(runTool({"import", "plain", "plain.mkv"}, tmp.path()).exitCode, 0);
    const int64_t afterMs = QDateTime::currentMSecsSinceEpoch();
    const std::vector<archive::FragmentInfo> plain = fragmentsOf(tmp.filePath("plain"));
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_GE(plain[0].startMs, beforeMs);
    EXPECT_LE(plain[0].startMs, afterMs);
}

}  // namespace
