// velt-archive synth: what it records for every video and audio codec, read
// back through the archive and decoded with libavcodec.
#include "tests/client/tools/ToolTestUtil.h"

#include <QDate>
#include <QDateTime>
#include <QTemporaryDir>
#include <QTime>
#include <gtest/gtest.h>

namespace {

using archivetest::Block;
using namespace tooltest;

struct SynthCase {
    const char *video;
    const char *audio;
    AVCodecID videoCodec;
    uint32_t videoCode;
    AVCodecID audioCodec;  // AV_CODEC_ID_NONE: no audio
    uint32_t audioCode;
    int audioRate;
    int samplesPerBlock;
};

std::string caseName(const testing::TestParamInfo<SynthCase> &info)
{
    return std::string(info.param.video) + "_" + info.param.audio;
}

void PrintTo(const SynthCase &c, std::ostream *out)
{
    *out << c.video << " + " << c.audio;
}

class SynthCodecs : public testing::TestWithParam<SynthCase> {};

// Two fragments of 2 s with a 1.5 s gap, a key frame every 10 pictures.
TEST_P(SynthCodecs, RecordsDecodableFragmentsOnTheGrid)
{
    const SynthCase &c = GetParam();
    QTemporaryDir tmp;
    const ToolRun run = runTool({"synth", "arch", "--video", c.video, "--audio", c.audio, "--size", "160x120",
                                 "--seconds", "2", "--fragments", "2", "--gap", "1.5", "--gop", "10", "--start",
                                 "2024-05-01T08:00:00"},
                                tmp.path());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("fragment 2/2")) << run.out.toStdString();

    const QString dir = tmp.filePath("arch");
    const int64_t firstStartMs = localMs("2024-05-01T08:00:00");
    const int audioBlocks = c.audioCodec == AV_CODEC_ID_NONE ? 0 : (2 * c.audioRate + c.samplesPerBlock - 1) / c.samplesPerBlock;
    const std::vector<archive::FragmentInfo> fragments = fragmentsOf(dir);
    const std::vector<std::vector<Block>> blocks = blocksOf(dir);
    ASSERT_EQ(fragments.size(), 2u);
    ASSERT_EQ(blocks.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE("fragment " + std::to_string(k));
        const int64_t startMs = firstStartMs + int64_t(k) * 3500;
        EXPECT_EQ(fragments[k].startMs, startMs);
        EXPECT_EQ(fragments[k].videoBlocks, 50);
        EXPECT_EQ(fragments[k].audioBlocks, audioBlocks);
        EXPECT_EQ(fragments[k].videoFourcc, c.videoCode);
        EXPECT_EQ(fragments[k].audioFourcc, c.audioCodec == AV_CODEC_ID_NONE ? 0u : c.audioCode);
        EXPECT_TRUE(fragments[k].complete);

        ASSERT_FALSE(blocks[k].empty());
        EXPECT_EQ(blocks[k].front().stream, archivetest::V);
        EXPECT_TRUE(blocks[k].front().key);
        EXPECT_EQ(blocks[k].front().timeMs, startMs);

        Decoder video(c.videoCodec);
        std::unique_ptr<Decoder> audio;
        if (c.audioCodec != AV_CODEC_ID_NONE)
            audio = std::make_unique<Decoder>(c.audioCodec);
        int pictureIndex = 0, audioIndex = 0;
        const Block *previous = nullptr;
        for (const Block &b : blocks[k]) {
            if (previous) {
                // Time order, video first at equal times.
                EXPECT_TRUE(previous->timeMs < b.timeMs || (previous->timeMs == b.timeMs && previous->stream <= b.stream))
                    << *previous << " then " << b;
            }
            previous = &b;
            if (b.stream == archivetest::V) {
                EXPECT_EQ(b.timeMs, startMs + pictureIndex * 40);
                EXPECT_EQ(b.key, pictureIndex % 10 == 0 || c.videoCodec == AV_CODEC_ID_MJPEG) << pictureIndex;
                EXPECT_EQ(fourcc::of(b.payload), c.videoCode);
                EXPECT_TRUE(video.decode(body(b.payload))) << pictureIndex;
                if (b.key) {
                    // Parameter sets travel with every key frame.
                    Decoder alone(c.videoCodec);
                    EXPECT_TRUE(alone.decode(body(b.payload)) && alone.finish());
                    EXPECT_EQ(alone.pictures.size(), 1u) << "key frame " << pictureIndex << " alone";
                }
                ++pictureIndex;
            } else {
                const int64_t sample = int64_t(audioIndex) * c.samplesPerBlock;
                EXPECT_EQ(b.timeMs, startMs + (sample * 1000 + c.audioRate / 2) / c.audioRate) << audioIndex;
                EXPECT_EQ(fourcc::of(b.payload), c.audioCode);
                if (c.audioCodec == AV_CODEC_ID_AAC) {
                    ASSERT_GE(b.payload.size(), 4 + 7);
                    EXPECT_EQ(uint8_t(b.payload[4]), 0xff) << "ADTS sync word";
                    EXPECT_EQ(uint8_t(b.payload[5]) & 0xf0, 0xf0) << "ADTS sync word";
                } else {
                    EXPECT_EQ(b.payload.size(), 4 + 160);
                }
                EXPECT_TRUE(audio->decode(body(b.payload))) << audioIndex;
                ++audioIndex;
            }
        }
        EXPECT_EQ(pictureIndex, 50);
        EXPECT_EQ(audioIndex, audioBlocks);
        EXPECT_TRUE(video.finish());
        ASSERT_EQ(video.pictures.size(), 50u);
        EXPECT_EQ(video.pictures.front().size(), 160 * 120);
        for (size_t i = 1; i < video.pictures.size(); ++i)
            EXPECT_NE(video.pictures[i], video.pictures[i - 1]) << "picture " << i << " repeats the one before";
        if (audio) {
            // One decoded frame of the block's samples per block.
            EXPECT_TRUE(audio->finish());
            ASSERT_EQ(int(audio->audioFrames.size()), audioBlocks);
            EXPECT_EQ(audio->audioFrames.front(), c.samplesPerBlock);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllPairs, SynthCodecs,
    testing::ValuesIn(std::vector<SynthCase>{
        {"h264", "aac", AV_CODEC_ID_H264, fourcc::kH264, AV_CODEC_ID_AAC, fourcc::kAac, 16000, 1024},
        {"h264", "ulaw", AV_CODEC_ID_H264, fourcc::kH264, AV_CODEC_ID_PCM_MULAW, fourcc::kUlaw, 8000, 160},
        {"h264", "alaw", AV_CODEC_ID_H264, fourcc::kH264, AV_CODEC_ID_PCM_ALAW, fourcc::kAlaw, 8000, 160},
        {"h264", "none", AV_CODEC_ID_H264, fourcc::kH264, AV_CODEC_ID_NONE, 0, 8000, 160},
        {"hevc", "aac", AV_CODEC_ID_HEVC, fourcc::kHevc, AV_CODEC_ID_AAC, fourcc::kAac, 16000, 1024},
        {"hevc", "ulaw", AV_CODEC_ID_HEVC, fourcc::kHevc, AV_CODEC_ID_PCM_MULAW, fourcc::kUlaw, 8000, 160},
        {"hevc", "alaw", AV_CODEC_ID_HEVC, fourcc::kHevc, AV_CODEC_ID_PCM_ALAW, fourcc::kAlaw, 8000, 160},
        {"hevc", "none", AV_CODEC_ID_HEVC, fourcc::kHevc, AV_CODEC_ID_NONE, 0, 8000, 160},
        {"mjpeg", "aac", AV_CODEC_ID_MJPEG, fourcc::kMjpeg, AV_CODEC_ID_AAC, fourcc::kAac, 16000, 1024},
        {"mjpeg", "ulaw", AV_CODEC_ID_MJPEG, fourcc::kMjpeg, AV_CODEC_ID_PCM_MULAW, fourcc::kUlaw, 8000, 160},
        {"mjpeg", "alaw", AV_CODEC_ID_MJPEG, fourcc::kMjpeg, AV_CODEC_ID_PCM_ALAW, fourcc::kAlaw, 8000, 160},
        {"mjpeg", "none", AV_CODEC_ID_MJPEG, fourcc::kMjpeg, AV_CODEC_ID_NONE, 0, 8000, 160},
    }),
    caseName);

// Only the length is given (to stay quick); the rest is default: today
// 10:00 local, 640x360 H.264 at 25 fps with a key frame a second, AAC.
TEST(Synth, DefaultsStartTodayAtTenWith640x360H264AndAac)
{
    QTemporaryDir tmp;
    const ToolRun run = runTool({"synth", "arch", "--seconds", "1.5"}, tmp.path());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const std::vector<archive::FragmentInfo> fragments = fragmentsOf(tmp.filePath("arch"));
    ASSERT_EQ(fragments.size(), 1u);
    EXPECT_EQ(fragments[0].startMs, QDateTime(QDate::currentDate(), QTime(10, 0)).toMSecsSinceEpoch());
    EXPECT_EQ(fragments[0].videoFourcc, fourcc::kH264);
    EXPECT_EQ(fragments[0].audioFourcc, fourcc::kAac);
    EXPECT_EQ(fragments[0].videoBlocks, 38);  // pictures 0..37 start before 1.5 s
    EXPECT_EQ(fragments[0].audioBlocks, 24);  // 1.5 s of 16 kHz in blocks of 1024

    const std::vector<std::vector<Block>> blocks = blocksOf(tmp.filePath("arch"));
    ASSERT_EQ(blocks.size(), 1u);
    Decoder video(AV_CODEC_ID_H264);
    std::vector<int64_t> keyTimesMs;
    for (const Block &b : blocks[0]) {
        if (b.stream != archivetest::V)
            continue;
        EXPECT_TRUE(video.decode(body(b.payload)));
        if (b.key)
            keyTimesMs.push_back(b.timeMs - fragments[0].startMs);
    }
    EXPECT_TRUE(video.finish());
    ASSERT_FALSE(video.pictures.empty());
    EXPECT_EQ(video.pictures.front().size(), 640 * 360);
    EXPECT_EQ(keyTimesMs, (std::vector<int64_t>{0, 1000}));
}

}  // namespace
