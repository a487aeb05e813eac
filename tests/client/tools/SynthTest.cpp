// velt-archive synth and info: what synth records for every video and audio
// codec, read back through the archive and decoded with libavcodec, and the
// table info prints of it.
#include "tests/client/tools/ToolTestUtil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace tooltest;

// Two fragments of 2 s with a 1.5 s gap, a key frame every 10 pictures;
// then info lists them, the second cut off by a crash (its index never
// written, its data cut inside a block).
TEST(SynthCodecs, RecordsDecodableFragmentsOnTheGridThatInfoLists)
{
    const struct {
        const char *video;
        const char *audio;
        uint32_t videoCode;
        uint32_t audioCode;  // 0: no audio
        int audioRate;
        int samplesPerBlock;
    } cases[] = {{"h264", "aac", fourcc::kH264, fourcc::kAac, 16000, 1024},
                 {"hevc", "ulaw", fourcc::kHevc, fourcc::kUlaw, 8000, 160},
                 {"mjpeg", "alaw", fourcc::kMjpeg, fourcc::kAlaw, 8000, 160},
                 {"h264", "none", fourcc::kH264, 0, 8000, 160}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.video) + " with " + c.audio);
        QTemporaryDir tmp;
        const ProcessRun run = runTool({"synth", "arch", "--video", c.video, "--audio", c.audio, "--size", "160x120", "--seconds",
                                        "2", "--fragments", "2", "--gap", "1.5", "--gop", "10", "--start", "2024-05-01T08:00:00"},
                                       tmp.path());
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.contains("fragment 2/2")) << run.out.toStdString();
        // 25 pictures a second; audio blocks stamped from their first sample.
        std::vector<int64_t> pictureMs, audioMs;
        std::vector<bool> keys;
        for (int i = 0; i < 50; ++i) {
            pictureMs.push_back(40 * i);
            keys.push_back(i % 10 == 0 || c.videoCode == fourcc::kMjpeg);
        }
        for (int i = 0; c.audioCode && i * c.samplesPerBlock < 2 * c.audioRate; ++i)
            audioMs.push_back((int64_t(i) * c.samplesPerBlock * 1000 + c.audioRate / 2) / c.audioRate);

        const std::vector<std::vector<Block>> fragments = blocksOf(tmp.filePath("arch"));
        ASSERT_EQ(fragments.size(), 2u);
        for (size_t k = 0; k < 2; ++k) {
            SCOPED_TRACE("fragment " + std::to_string(k));
            ASSERT_FALSE(fragments[k].empty());
            EXPECT_EQ(fragments[k].front().timeMs, localMs("2024-05-01T08:00:00") + int64_t(k) * 3500);
            const Recorded r = recorded(fragments[k], c.videoCode, c.audioCode);
            EXPECT_EQ(r.videoMs, pictureMs);
            EXPECT_EQ(r.keys, keys);
            EXPECT_EQ(r.audioMs, audioMs);
            ASSERT_EQ(r.video.pictures.size(), 50u);
            EXPECT_EQ(std::make_pair(r.video.context->width, r.video.context->height), std::make_pair(160, 120));
            EXPECT_EQ(std::adjacent_find(r.video.pictures.begin(), r.video.pictures.end()), r.video.pictures.end())
                << "a picture repeats the one before";
            // One decoded frame of the block's samples per block.
            EXPECT_EQ(r.audioDecoder.audioFrames, std::vector<int>(audioMs.size(), c.samplesPerBlock));
        }

        const QString second = tmp.filePath("arch/00000002");
        ASSERT_TRUE(QFile::remove(second + ".idx") && QFile::resize(second + ".frag", QFileInfo(second + ".frag").size() - 100));
        const ProcessRun info = runTool({"info", "arch"}, tmp.path());
        const QStringList lines = info.out.trimmed().split('\n');
        ASSERT_TRUE(info.exitCode == 0 && lines.size() == 4) << info.out.toStdString() << info.err.toStdString();
        // Number, start, end and duration (one past the last block), each stream's
        // code and block count, bytes, state.
        const QString audio = c.audioCode ? QStringLiteral("%1 x%2").arg(QString(fourcc::bytes(c.audioCode)).trimmed()).arg(audioMs.size()) : "-";
        EXPECT_EQ(lines[1].simplified(), QStringLiteral("1 2024-05-01T08:00:00+02:00 2024-05-01T08:00:01+02:00 %1 %2 x50 %3 %4 complete")
                                             .arg(double(fragments[0].back().timeMs - fragments[0].front().timeMs + 1) / 1000, 0, 'f', 3)
                                             .arg(QString(fourcc::bytes(c.videoCode)).trimmed(), audio)
                                             .arg(QFileInfo(tmp.filePath("arch/00000001.frag")).size()));
        EXPECT_TRUE(lines[2].simplified().startsWith("2 2024-05-01T08:00:03+02:00 ") && lines[2].contains("not ended: ")) << qPrintable(lines[2]);
        EXPECT_TRUE(lines[3].startsWith("total: 2 fragment(s), ") && lines[3].endsWith(", 1 not ended cleanly")) << qPrintable(lines[3]);
    }
}

}  // namespace
