// The format manager's informers over blocks the synthetic camera encodes:
// the stream each describes, the packets it makes, what it refuses, and the
// blocks that ask for a new file.
#include "client/codecs/FormatManager.h"
#include "client/media/FFmpegHolders.h"
#include "client/media/FourCC.h"
#include "client/tools/SyntheticAudio.h"
#include "client/tools/SyntheticVideo.h"

#include <gtest/gtest.h>

namespace {

using VideoCodec = tools::SyntheticVideo::Codec;
using AudioCodec = tools::SyntheticAudio::Codec;

// The payloads a synthetic camera track makes.
std::vector<QByteArray> encoded(std::unique_ptr<tools::SyntheticTrack> track, const QString &error)
{
    std::vector<tools::Block> blocks;
    QString stepError;
    while (track && track->nextInputTimeMs() != INT64_MAX && track->step(&blocks, &stepError)) {
    }
    EXPECT_TRUE(track && track->finish(&blocks, &stepError)) << qPrintable(error + stepError);
    std::vector<QByteArray> payloads;
    for (const tools::Block &block : blocks)
        payloads.push_back(block.payload);
    return payloads;
}

// Six pictures, a key frame every three: blocks 0 and 3 are key.
std::vector<QByteArray> video(VideoCodec codec, int width = 160, int height = 120)
{
    av_log_set_level(AV_LOG_ERROR);  // no encoder statistics
    QString error;
    return encoded(tools::SyntheticVideo::open({codec, width, height, AVRational{25, 1}, 3}, 1000, 240, &error), error);
}

std::vector<QByteArray> audio(AudioCodec codec, int rateHz = 16000, int channels = 1)
{
    QString error;
    return encoded(tools::SyntheticAudio::open({codec, rateHz, channels, 20}, 440.0, 1000, 800, &error), error);
}

ComponentRef<IAVInformer_LibavExport> informerFor(uint32_t code)
{
    return ComponentRef<IAVInformer_LibavExport>(codecs::makeFormatManager()->createInformer(code, QByteArray()));
}

struct Packed {
    bool ok = false;
    bool startNewFile = false;
    QByteArray bytes;  // the packet's data, null when none
};

Packed pack(IAVInformer_LibavExport &informer, const QByteArray &block, bool key)
{
    media::PacketHolder packet(av_packet_alloc());
    Packed result;
    result.ok = informer.fillPacket(block, key, packet.get(), &result.startNewFile);
    if (packet->data)
        result.bytes = QByteArray(reinterpret_cast<const char *>(packet->data), packet->size);
    return result;
}

// A Matroska muxer context (no file opened) with the stream an informer
// described from the first of `blocks`; the informer in *informer.
media::FormatContextHolder described(const std::vector<QByteArray> &blocks, ComponentRef<IAVInformer_LibavExport> *informer)
{
    AVFormatContext *made = nullptr;
    avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr);
    *informer = informerFor(fourcc::of(blocks.at(0)));
    EXPECT_TRUE(*informer && (*informer)->addBlock(blocks[0], true) && (*informer)->isReady() &&
                (*informer)->fillStream(made) && made->nb_streams == 1);
    return media::FormatContextHolder(made);
}

TEST(InformerTest, DescribesItsStreamPacksEveryBlockAndRefusesOtherBytes)
{
    const struct {
        const char *what;
        std::vector<QByteArray> blocks;
        AVCodecID codecId;
        int width, height, rateHz, channels, extradataBytes;  // extradata -1: some
        int64_t bitRate;
        int blockAlign, headerBytes;  // headerBytes: stripped from each block
    } cases[] = {
        {"H.264", video(VideoCodec::H264), AV_CODEC_ID_H264, 160, 120, 0, 0, -1, 0, 0, 0},
        {"HEVC", video(VideoCodec::Hevc), AV_CODEC_ID_HEVC, 160, 120, 0, 0, -1, 0, 0, 0},
        {"MJPEG", video(VideoCodec::Mjpeg), AV_CODEC_ID_MJPEG, 160, 120, 0, 0, 0, 0, 0, 0},
        {"AAC mono", audio(AudioCodec::Aac), AV_CODEC_ID_AAC, 0, 0, 16000, 1, 2, 0, 0, 7},
        {"AAC stereo", audio(AudioCodec::Aac, 8000, 2), AV_CODEC_ID_AAC, 0, 0, 8000, 2, 2, 0, 0, 7},
        {"mu-law", audio(AudioCodec::Ulaw), AV_CODEC_ID_PCM_MULAW, 0, 0, 8000, 1, 0, 64000, 1, 0},
        {"A-law", audio(AudioCodec::Alaw), AV_CODEC_ID_PCM_ALAW, 0, 0, 8000, 1, 0, 64000, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.blocks.size(), 6u);
        const QByteArray code = c.blocks[0].left(fourcc::kSizeBytes);
        ComponentRef<IAVInformer_LibavExport> informer = informerFor(fourcc::of(code));
        ASSERT_TRUE(informer);
        const QByteArray otherCode = fourcc::bytes(fourcc::of(code) == fourcc::kH264 ? fourcc::kHevc : fourcc::kH264);
        for (const QByteArray &refused : {code.left(3), code, otherCode + c.blocks[0].mid(fourcc::kSizeBytes)})
            EXPECT_FALSE(informer->addBlock(refused, true));
        const bool anyBytesDo = c.codecId == AV_CODEC_ID_PCM_MULAW || c.codecId == AV_CODEC_ID_PCM_ALAW;
        EXPECT_EQ(informer->addBlock(code + QByteArray(200, '\x5a'), true), anyBytesDo);
        EXPECT_EQ(informer->isReady(), anyBytesDo);
        EXPECT_FALSE(pack(*informer, c.blocks[0], true).ok) << "packed before its stream was added";

        const media::FormatContextHolder context = described(c.blocks, &informer);
        ASSERT_TRUE(informer && context->nb_streams == 1);
        const AVCodecParameters *par = context->streams[0]->codecpar;
        EXPECT_EQ((std::vector<int64_t>{par->codec_id, par->width, par->height, par->sample_rate,
                                        par->ch_layout.nb_channels, par->bit_rate, par->block_align}),
                  (std::vector<int64_t>{c.codecId, c.width, c.height, c.rateHz, c.channels, c.bitRate, c.blockAlign}));
        EXPECT_TRUE(c.extradataBytes < 0 ? par->extradata_size > 0 : par->extradata_size == c.extradataBytes)
            << par->extradata_size;
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            const Packed packed = pack(*informer, c.blocks[i], i % 3 == 0 || c.width == 0);
            EXPECT_TRUE(packed.ok && !packed.startNewFile) << i;
            EXPECT_EQ(packed.bytes, c.blocks[i].mid(fourcc::kSizeBytes + c.headerBytes)) << i;
        }
    }
    EXPECT_FALSE(informerFor(fourcc::make('V', 'P', '8', '0')));
    EXPECT_FALSE(informerFor(0));
}

TEST(InformerTest, ABlockThatNoLongerFitsTheStreamStartsANewFile)
{
    const QByteArray unreadable(300, '\x11');
    QByteArray brokenAdts = audio(AudioCodec::Aac)[1];
    brokenAdts[fourcc::kSizeBytes] = 0;
    const struct {
        const char *what;
        std::vector<QByteArray> stream;
        QByteArray block;
        bool key, ok, startNewFile;
    } cases[] = {
        {"H.264 key frame of another size", video(VideoCodec::H264), video(VideoCodec::H264, 128, 96)[0], true, true, true},
        {"HEVC key frame of another size", video(VideoCodec::Hevc), video(VideoCodec::Hevc, 128, 96)[0], true, true, true},
        {"MJPEG picture of another size", video(VideoCodec::Mjpeg), video(VideoCodec::Mjpeg, 128, 96)[0], true, true, true},
        {"a block of another code", video(VideoCodec::H264), video(VideoCodec::Mjpeg)[1], false, true, true},
        {"an H.264 key frame that tells nothing: kept", video(VideoCodec::H264),
         fourcc::bytes(fourcc::kH264) + unreadable, true, true, false},
        {"an MJPEG picture that tells nothing: kept", video(VideoCodec::Mjpeg),
         fourcc::bytes(fourcc::kMjpeg) + unreadable, true, true, false},
        {"AAC of another rate", audio(AudioCodec::Aac), audio(AudioCodec::Aac, 8000)[0], true, true, true},
        {"AAC with another channel count", audio(AudioCodec::Aac), audio(AudioCodec::Aac, 16000, 2)[0], true, true, true},
        {"AAC without its ADTS header", audio(AudioCodec::Aac), brokenAdts, true, false, false},
        {"A-law after mu-law", audio(AudioCodec::Ulaw), audio(AudioCodec::Alaw)[0], true, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ComponentRef<IAVInformer_LibavExport> informer;
        const media::FormatContextHolder context = described(c.stream, &informer);
        ASSERT_TRUE(informer);
        const Packed packed = pack(*informer, c.block, c.key);
        EXPECT_EQ(packed.ok, c.ok);
        EXPECT_EQ(packed.startNewFile, c.startNewFile);
        EXPECT_EQ(packed.bytes, c.ok && !c.startNewFile ? c.block.mid(fourcc::kSizeBytes) : QByteArray());
    }
}

}  // namespace
