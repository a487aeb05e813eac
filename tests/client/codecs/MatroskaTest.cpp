// End to end: streams described by the informers, written into a real
// Matroska file the way the export engine writes it, read back with
// libavformat and decoded; the decoded frames must equal the source's.
#include "client/media/FFmpegHolders.h"
#include "client/media/FourCC.h"
#include "tests/client/codecs/Samples.h"

#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

using samples::Block;

struct Track {
    uint32_t code;
    std::vector<Block> blocks;
    ComponentRef<IAVInformer_LibavExport> informer;
};

// Writes both tracks, video first, with packets in time order.
void writeMatroska(const QByteArray &path, std::vector<Track *> tracks)
{
    AVFormatContext *made = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&made, nullptr, "matroska", path.constData()), 0);
    media::FormatContextHolder file(made);
    for (Track *track : tracks)
        ASSERT_TRUE(track->informer->fillStream(file.get())) << fourcc::bytes(track->code).constData();
    for (unsigned i = 0; i < file->nb_streams; ++i)
        file->streams[i]->time_base = AVRational{1, 1000};
    ASSERT_GE(avio_open(&file->pb, path.constData(), AVIO_FLAG_WRITE), 0);
    ASSERT_EQ(avformat_write_header(file.get(), nullptr), 0);

    std::vector<std::pair<const Block *, Track *>> order;
    for (Track *track : tracks)
        for (const Block &block : track->blocks)
            order.emplace_back(&block, track);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto &a, const auto &b) { return a.first->timeMs < b.first->timeMs; });
    media::PacketHolder packet(av_packet_alloc());
    for (const auto &[block, track] : order) {
        bool startNewFile = true;
        ASSERT_TRUE(track->informer->fillPacket(block->payload, block->key, packet.get(), &startNewFile));
        ASSERT_FALSE(startNewFile);
        ASSERT_NE(packet->data, nullptr);
        packet->flags = block->key ? AV_PKT_FLAG_KEY : 0;
        packet->pts = packet->dts = block->timeMs;
        ASSERT_GE(av_write_frame(file.get(), packet.get()), 0);
        av_packet_unref(packet.get());
    }
    ASSERT_EQ(av_write_trailer(file.get()), 0);
}

struct Contents {
    std::vector<media::CodecParametersHolder> params;  // per stream
    std::vector<QList<QByteArray>> packets;            // per stream
    std::vector<int> dispositions;                     // per stream
};

void readMatroska(const QByteArray &path, Contents *contents)
{
    AVFormatContext *opened = nullptr;
    ASSERT_EQ(avformat_open_input(&opened, path.constData(), nullptr, nullptr), 0);
    media::FormatContextHolder file(opened);
    ASSERT_STREQ(file->iformat->name, "matroska,webm");
    contents->packets.resize(file->nb_streams);
    for (unsigned i = 0; i < file->nb_streams; ++i) {
        contents->params.emplace_back(avcodec_parameters_alloc());
        ASSERT_GE(avcodec_parameters_copy(contents->params.back().get(), file->streams[i]->codecpar), 0);
        contents->dispositions.push_back(file->streams[i]->disposition);
    }
    media::PacketHolder packet(av_packet_alloc());
    while (av_read_frame(file.get(), packet.get()) >= 0) {
        contents->packets[packet->stream_index].append(
            QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
        av_packet_unref(packet.get());
    }
}

// What decodes the samples as they were encoded (Annex-B, ADTS, G.711).
media::CodecParametersHolder sourceParams(AVCodecID codecId)
{
    media::CodecParametersHolder par(avcodec_parameters_alloc());
    par->codec_id = codecId;
    par->codec_type = avcodec_get_type(codecId);
    if (par->codec_type == AVMEDIA_TYPE_AUDIO && codecId != AV_CODEC_ID_AAC) {
        par->sample_rate = 8000;
        av_channel_layout_default(&par->ch_layout, 1);
    }
    return par;
}

struct Case {
    uint32_t videoCode;
    uint32_t audioCode;
    AVCodecID videoId;
    AVCodecID audioId;
};

class MatroskaTest : public testing::TestWithParam<Case> {};

TEST_P(MatroskaTest, FileHoldsWhatWasEncoded)
{
    const Case c = GetParam();
    Track video{c.videoCode, samples::video(c.videoCode, 160, 120, 12, 5), {}};
    Track audio{c.audioCode, samples::audio(c.audioCode, 500), {}};
    ASSERT_GE(video.blocks.size(), 12u);
    ASSERT_GE(audio.blocks.size(), 5u);
    video.informer = samples::describedBy(c.videoCode, video.blocks);
    audio.informer = samples::describedBy(c.audioCode, audio.blocks);
    ASSERT_TRUE(video.informer && video.informer->isReady());
    ASSERT_TRUE(audio.informer && audio.informer->isReady());

    QTemporaryDir dir;
    const QByteArray path = dir.filePath(QStringLiteral("out.mkv")).toUtf8();
    ASSERT_NO_FATAL_FAILURE(writeMatroska(path, {&video, &audio}));
    Contents contents;
    ASSERT_NO_FATAL_FAILURE(readMatroska(path, &contents));
    ASSERT_EQ(contents.params.size(), 2u);
    // Which track plays by default is for the player to choose.
    EXPECT_EQ(contents.dispositions[0] & AV_DISPOSITION_DEFAULT, 0);
    EXPECT_EQ(contents.dispositions[1] & AV_DISPOSITION_DEFAULT, 0);

    const AVCodecParameters *v = contents.params[0].get();
    EXPECT_EQ(v->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(v->codec_id, c.videoId);
    EXPECT_EQ(v->width, 160);
    EXPECT_EQ(v->height, 120);
    EXPECT_EQ(v->extradata_size > 0, c.videoId != AV_CODEC_ID_MJPEG);
    const AVCodecParameters *a = contents.params[1].get();
    EXPECT_EQ(a->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(a->codec_id, c.audioId);
    EXPECT_EQ(a->sample_rate, c.audioId == AV_CODEC_ID_AAC ? 16000 : 8000);
    EXPECT_EQ(a->ch_layout.nb_channels, 1);
    EXPECT_EQ(a->extradata_size > 0, c.audioId == AV_CODEC_ID_AAC);

    const QList<QByteArray> sourceVideo = samples::decodedFrames(sourceParams(c.videoId).get(), samples::payloads(video.blocks));
    const QList<QByteArray> sourceAudio = samples::decodedFrames(sourceParams(c.audioId).get(), samples::payloads(audio.blocks));
    EXPECT_EQ(sourceVideo.size(), qsizetype(video.blocks.size()));
    EXPECT_GE(sourceAudio.size(), qsizetype(audio.blocks.size()) - 1);
    EXPECT_EQ(samples::decodedFrames(v, contents.packets[0]), sourceVideo);
    EXPECT_EQ(samples::decodedFrames(a, contents.packets[1]), sourceAudio);
}

INSTANTIATE_TEST_SUITE_P(Codecs, MatroskaTest,
                         testing::Values(Case{fourcc::kH264, fourcc::kAac, AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
                                         Case{fourcc::kHevc, fourcc::kUlaw, AV_CODEC_ID_HEVC, AV_CODEC_ID_PCM_MULAW},
                                         Case{fourcc::kMjpeg, fourcc::kAlaw, AV_CODEC_ID_MJPEG,
                                              AV_CODEC_ID_PCM_ALAW}),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(avcodec_get_name(info.param.videoId)) + "_" +
                                    avcodec_get_name(info.param.audioId);
                         });

}  // namespace
