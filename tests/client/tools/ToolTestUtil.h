// Helpers of the velt-archive tests: running the tool and the ffmpeg
// command, reading back a recorded archive, and decoding payloads.
#ifndef TESTS_CLIENT_TOOLS_TOOLTESTUTIL_H_
#define TESTS_CLIENT_TOOLS_TOOLTESTUTIL_H_

#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"
#include "tests/client/ClientTestUtil.h"
#include "tests/client/archive/ArchiveTestUtil.h"
#include "tests/support/LocalZone.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <gtest/gtest.h>

namespace tooltest {

using archivetest::Block;
using archivetest::blocksOf;
using clienttest::ProcessRun;

// A zone with daylight saving time, for the processes the tests start too:
// times must be right on both sides of a change and in the hour that occurs twice.
inline const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");

// ffmpeg's input options for a moving test picture of 160x120 at 25 fps.
const QStringList kTestPicture = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25"};

inline ProcessRun runTool(const QStringList &arguments, const QString &workDir)
{
    const ProcessRun run = clienttest::runProcess(VELT_ARCHIVE_TOOL, arguments, workDir);
    EXPECT_NE(run.exitCode, -1) << "velt-archive crashed or hung: " << arguments.join(' ').toStdString();
    return run;
}

// Runs the ffmpeg command quietly; fails the test when it fails.
inline bool runFfmpeg(const QStringList &arguments, const QString &workDir)
{
    const ProcessRun run = clienttest::runProcess("ffmpeg", QStringList{"-loglevel", "error", "-y"} + arguments, workDir);
    EXPECT_EQ(run.exitCode, 0) << "ffmpeg " << arguments.join(' ').toStdString() << "\n" << run.err.toStdString();
    return run.exitCode == 0;
}

inline int64_t localMs(const char *text) { return QDateTime::fromString(text, Qt::ISODate).toMSecsSinceEpoch(); }

inline QByteArray body(const QByteArray &payload) { return payload.mid(fourcc::kSizeBytes); }

// Decodes payloads (code removed; an empty one drains it) and keeps the MD5
// of each picture's luma plane or each audio frame's sample count.
// `parameters` describe a demuxed stream; camera payloads need none.
struct Decoder {
    explicit Decoder(AVCodecID codec, const AVCodecParameters *parameters = nullptr)
        : context(avcodec_alloc_context3(avcodec_find_decoder(codec)))
    {
        if (parameters) {
            avcodec_parameters_to_context(context.get(), parameters);
        } else if (codec == AV_CODEC_ID_PCM_MULAW || codec == AV_CODEC_ID_PCM_ALAW) {
            const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;  // what G.711 blocks always are
            av_channel_layout_copy(&context->ch_layout, &mono);
            context->sample_rate = 8000;
        }
        EXPECT_GE(avcodec_open2(context.get(), nullptr, nullptr), 0);
    }
    bool decode(const QByteArray &bytes)
    {
        const media::PacketHolder packet = bytes.isEmpty() ? media::PacketHolder() : codecs::paddedCopy(bytes);
        if (avcodec_send_packet(context.get(), packet.get()) < 0)
            return false;
        for (media::FrameHolder frame(av_frame_alloc());; av_frame_unref(frame.get())) {
            const int result = avcodec_receive_frame(context.get(), frame.get());
            if (result < 0)
                return result == AVERROR(EAGAIN) || result == AVERROR_EOF;
            if (context->codec_type == AVMEDIA_TYPE_AUDIO) {
                audioFrames.push_back(frame->nb_samples);
                continue;
            }
            QByteArray luma;
            for (int y = 0; y < frame->height; ++y)
                luma.append(reinterpret_cast<const char *>(frame->data[0] + y * frame->linesize[0]), frame->width);
            pictures.push_back(QCryptographicHash::hash(luma, QCryptographicHash::Md5));
        }
    }

    media::CodecContextHolder context;
    std::vector<QByteArray> pictures;
    std::vector<int> audioFrames;
};

// A fragment's blocks as the tests compare them: times from its first
// block, video key flags, audio bodies, and what the payloads decode to.
// Every key frame decodes on its own: its parameter sets travel with it.
struct Recorded {
    std::vector<int64_t> videoMs, audioMs;
    std::vector<bool> keys;
    std::vector<QByteArray> audio;
    Decoder video, audioDecoder;
};

inline Recorded recorded(const std::vector<Block> &blocks, uint32_t videoCode, uint32_t audioCode)
{
    const AVCodecID videoCodec = codecs::codecIdOf(videoCode);
    Recorded r{{}, {}, {}, {}, Decoder(videoCodec), Decoder(audioCode ? codecs::codecIdOf(audioCode) : AV_CODEC_ID_PCM_MULAW)};
    // In time order, video first at equal times.
    EXPECT_TRUE(std::is_sorted(blocks.begin(), blocks.end(), [](const Block &a, const Block &b) {
        return std::make_pair(a.timeMs, a.stream) < std::make_pair(b.timeMs, b.stream);
    }));
    for (const Block &b : blocks) {
        const bool isVideo = b.stream == archivetest::V;
        EXPECT_EQ(fourcc::of(b.payload), isVideo ? videoCode : audioCode) << b;
        (isVideo ? r.videoMs : r.audioMs).push_back(b.timeMs - blocks.front().timeMs);
        EXPECT_TRUE((isVideo ? r.video : r.audioDecoder).decode(body(b.payload))) << b;
        if (isVideo)
            r.keys.push_back(b.key);
        else
            r.audio.push_back(body(b.payload));
        if (isVideo && b.key) {
            Decoder alone(videoCodec);
            EXPECT_TRUE(alone.decode(body(b.payload)) && alone.decode({}) && alone.pictures.size() == 1u) << b;
        }
    }
    EXPECT_TRUE(r.video.decode({}) && r.audioDecoder.decode({}));
    return r;
}

// The first stream of `type` in a media file as libavformat demuxes it.
struct FileStream {
    std::vector<QByteArray> packets;
    std::vector<int64_t> ptsMs;
    std::vector<QByteArray> pictures;  // as Decoder keeps them, video only
};

inline FileStream readFileStream(const QString &path, AVMediaType type)
{
    FileStream result;
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return result;
    media::FormatContextHolder input(opened);
    const int index = avformat_find_stream_info(opened, nullptr) < 0 ? -1 : av_find_best_stream(opened, type, -1, -1, nullptr, 0);
    if (index < 0)
        return result;
    Decoder decoder(opened->streams[index]->codecpar->codec_id, opened->streams[index]->codecpar);
    for (media::PacketHolder packet(av_packet_alloc()); av_read_frame(opened, packet.get()) >= 0; av_packet_unref(packet.get())) {
        if (packet->stream_index != index)
            continue;
        result.packets.emplace_back(reinterpret_cast<const char *>(packet->data), packet->size);
        result.ptsMs.push_back(av_rescale_q(packet->pts, opened->streams[index]->time_base, AVRational{1, 1000}));
        EXPECT_TRUE(type != AVMEDIA_TYPE_VIDEO || decoder.decode(result.packets.back()));
    }
    EXPECT_TRUE(decoder.decode(QByteArray()));
    result.pictures = decoder.pictures;
    return result;
}

}  // namespace tooltest

#endif  // TESTS_CLIENT_TOOLS_TOOLTESTUTIL_H_
