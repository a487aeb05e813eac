// velt-archive import: media files made by the ffmpeg command, recorded
// without re-encoding and read back: the pictures decoded from the archive
// equal those decoded from the file, video blocks are the file's packets,
// audio bytes are the file's own.
#include "client/codecs/LengthPrefixed.h"
#include "tests/client/tools/ToolTestUtil.h"

#include <QTemporaryDir>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace {

using namespace tooltest;

struct ImportCase {
    const char *name;
    QStringList ffmpegArguments;  // after the test picture input
    const char *file;
    uint32_t videoCode;
    uint32_t audioCode;
    int adtsHeaderBytes;  // the file's AAC packets are raw; the blocks add this header
    const char *start;    // given as --start, or without: "creation" (time of the file) or "now"
};

void PrintTo(const ImportCase &c, std::ostream *out) { *out << c.name; }

// The NAL unit types of H.264 or HEVC units behind 4-byte lengths.
std::vector<int> nalTypes(uint32_t code, const QByteArray &lengthPrefixed)
{
    std::vector<int> types;
    const auto *data = reinterpret_cast<const uint8_t *>(lengthPrefixed.constData());
    for (int64_t at = 0; at + 4 < lengthPrefixed.size(); at += 4 + AV_RB32(data + at))
        types.push_back(code == fourcc::kH264 ? data[at + 4] & 0x1f : (data[at + 4] >> 1) & 0x3f);
    return types;
}

// Each video block is the file's packet in Annex B; a key frame has each
// parameter set once, its own when the packet carries them, else the file's.
void expectPacketsAsSent(uint32_t code, const std::vector<Block> &blocks, const FileStream &file)
{
    const std::vector<int> setTypes = code == fourcc::kH264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
    size_t i = 0;
    for (const Block &b : blocks) {
        if (b.stream != archivetest::V)
            continue;
        ASSERT_LT(i, file.packets.size());
        const QByteArray &sent = file.packets[i++];
        media::PacketHolder packet(av_packet_alloc());
        ASSERT_TRUE(codecs::packLengthPrefixed(body(b.payload), packet.get()));
        const QByteArray stored(reinterpret_cast<const char *>(packet->data), packet->size);
        // A raw stream's packets are Annex B already, with their own sets.
        const bool raw = body(b.payload) == sent;
        const std::vector<int> types = nalTypes(code, stored), sentTypes = nalTypes(code, raw ? stored : sent);
        const auto count = [](const std::vector<int> &in, int type) { return std::count(in.begin(), in.end(), type); };
        EXPECT_TRUE(stored == sent || raw || (b.key && count(sentTypes, setTypes.front()) == 0)) << b;
        for (const int type : setTypes)
            EXPECT_EQ(count(types, type), b.key ? 1 : count(sentTypes, type)) << b << " NAL unit type " << type;
    }
}

class ImportFormats : public testing::TestWithParam<ImportCase> {};

// Each file is imported twice with a 2 s gap: the second fragment starts
// 2 s after the first one's last block.
TEST_P(ImportFormats, KeepsTheFilesPicturesSoundAndTime)
{
    const ImportCase &c = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(runFfmpeg(kTestPicture + c.ffmpegArguments + QStringList{"-metadata", "creation_time=2024-05-01T08:00:00Z", c.file},
                          tmp.path()));
    const int64_t beforeMs = QDateTime::currentSecsSinceEpoch() * 1000;
    const ProcessRun run = runTool(QStringList{"import", "arch", c.file, c.file, "--gap", "2"} +
                                       (c.start[0] == '2' ? QStringList{"--start", c.start} : QStringList()),
                                   tmp.path());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const int64_t afterMs = QDateTime::currentMSecsSinceEpoch();

    const FileStream video = readFileStream(tmp.filePath(c.file), AVMEDIA_TYPE_VIDEO);
    const FileStream audio = readFileStream(tmp.filePath(c.file), AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(video.pictures.size(), 50u);
    const std::vector<std::vector<Block>> fragments = blocksOf(tmp.filePath("arch"));
    ASSERT_TRUE(fragments.size() == 2u && !fragments[0].empty() && !fragments[1].empty());
    const int64_t startMs = fragments[0].front().timeMs;
    if (c.start == QLatin1String("now"))
        EXPECT_TRUE(startMs >= beforeMs && startMs <= afterMs) << startMs;
    else
        EXPECT_EQ(startMs, localMs(c.start[0] == '2' ? c.start : "2024-05-01T08:00:00Z"));
    EXPECT_EQ(fragments[1].front().timeMs, fragments[0].back().timeMs + 1 + 2000);
    for (const std::vector<Block> &blocks : fragments) {
        // No extradata: what decodes here is in the payloads themselves.
        EXPECT_TRUE(!blocks.empty() && blocks.front().stream == archivetest::V && blocks.front().key);
        const Recorded r = recorded(blocks, c.videoCode, c.audioCode);
        EXPECT_TRUE(r.video.pictures == video.pictures) << "decoded pictures differ from the file's";
        // 25 pictures a second from 0, in every file; the sound as the file has it.
        for (size_t i = 0; i < r.videoMs.size(); ++i)
            EXPECT_EQ(r.videoMs[i], int64_t(i) * 40) << i;
        if (c.videoCode != fourcc::kMjpeg)
            expectPacketsAsSent(c.videoCode, blocks, video);
        ASSERT_EQ(r.audio.size(), audio.packets.size());
        for (size_t i = 0; i < r.audio.size(); ++i) {
            EXPECT_EQ(r.audio[i].mid(c.adtsHeaderBytes), audio.packets[i]) << i;
            EXPECT_EQ(r.audioMs[i], std::max<int64_t>(0, audio.ptsMs[i])) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ImportFormats,
    testing::Values(
        ImportCase{"H264AacMp4",
                   {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=16000", "-t", "2", "-pix_fmt", "yuv420p",
                    "-c:v", "libx264", "-bf", "0", "-g", "10", "-c:a", "aac"},
                   "in.mp4", fourcc::kH264, fourcc::kAac, 7, "creation"},
        ImportCase{"HevcAlawMkv",
                   {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=8000", "-t", "2", "-pix_fmt", "yuv420p",
                    "-c:v", "libx265", "-x265-params", "bframes=0:log-level=error", "-c:a", "pcm_alaw", "-ac", "1"},
                   "in.mkv", fourcc::kHevc, fourcc::kAlaw, 0, "2024-05-01T09:00:00"},
        // AVI keeps no creation time.
        ImportCase{"MjpegUlawAvi",
                   {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=8000", "-t", "2", "-pix_fmt", "yuvj420p",
                    "-c:v", "mjpeg", "-c:a", "pcm_mulaw", "-ac", "1"},
                   "in.avi", fourcc::kMjpeg, fourcc::kUlaw, 0, "now"},
        // I and P pictures only, each packet's times equal, but the SPS declares
        // reorder room, as action cameras send it.
        ImportCase{"H264ReorderRoomMp4",
                   {"-t", "2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-g", "10", "-x264-params",
                    "bframes=1:b-adapt=1:b-bias=-100", "-bsf:v", "setts=pts=DTS-STARTDTS:dts=DTS-STARTDTS"},
                   "in.mp4", fourcc::kH264, 0, 0, "2024-05-01T07:00:00Z"},
        // The same in Matroska, which stores no decode times: the demuxer
        // makes them up one picture late from that room.
        ImportCase{"H264ReorderRoomMkv",
                   {"-t", "2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-g", "10", "-x264-params",
                    "bframes=1:b-adapt=1:b-bias=-100"},
                   "in.mkv", fourcc::kH264, 0, 0, "2024-05-01T09:00:00+02:00"},
        // Parameter sets in every key frame as well as in the header.
        ImportCase{"HevcInBandSetsMkv",
                   {"-t", "2", "-pix_fmt", "yuv420p", "-c:v", "libx265", "-g", "10", "-x265-params",
                    "bframes=0:repeat-headers=1:log-level=error"},
                   "in.mkv", fourcc::kHevc, 0, 0, "2024-05-01T09:00:00"},
        // Durations but no timestamps.
        ImportCase{"RawH264", {"-t", "2", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0", "-g", "10"},
                   "in.h264", fourcc::kH264, 0, 0, "2024-05-01T09:00:00"}),
    [](const testing::TestParamInfo<ImportCase> &info) { return std::string(info.param.name); });

}  // namespace
