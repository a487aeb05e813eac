// H.264 and HEVC go to the muxer length-prefixed: the file must hold the
// bytes the muxer writes when it rewrites the Annex B blocks itself, also
// for short and long start codes, stray zeros and bytes outside NAL units.
#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"
#include "tests/client/codecs/Samples.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

// A Matroska file of one video stream, described by `fill`, packets by `pack`.
QByteArray muxed(const std::vector<samples::Block> &blocks, const std::function<bool(AVCodecParameters *)> &fill,
                 const std::function<bool(const samples::Block &, AVPacket *)> &pack)
{
    AVFormatContext *made = nullptr;
    avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr);
    media::FormatContextHolder file(made);
    file->flags |= AVFMT_FLAG_BITEXACT | AVFMT_FLAG_CUSTOM_IO;
    AVStream *stream = avformat_new_stream(made, nullptr);
    EXPECT_TRUE(fill(stream->codecpar));
    stream->time_base = AVRational{1, 1000};
    EXPECT_TRUE(avio_open_dyn_buf(&file->pb) >= 0 && avformat_write_header(made, nullptr) >= 0);
    for (const samples::Block &block : blocks) {
        media::PacketHolder packet(av_packet_alloc());
        EXPECT_TRUE(pack(block, packet.get()));
        packet->pts = packet->dts = block.timeMs;
        EXPECT_GE(av_write_frame(made, packet.get()), 0);
    }
    EXPECT_EQ(av_write_trailer(made), 0);
    uint8_t *bytes = nullptr;
    const int size = avio_close_dyn_buf(file->pb, &bytes);
    file->pb = nullptr;
    const QByteArray result(reinterpret_cast<const char *>(bytes), size);
    av_free(bytes);
    return result;
}

TEST(LengthPrefixedTest, FilesHoldWhatTheMuxerWouldWrite)
{
    for (const uint32_t code : {fourcc::kH264, fourcc::kHevc}) {
        SCOPED_TRACE(fourcc::bytes(code).constData());
        std::vector<samples::Block> blocks = samples::video(code, 320, 240, 12, 6);
        int64_t timeMs = blocks.back().timeMs;
        for (const QByteArray &odd : {QByteArray("\0\0\1\x41\xAA\0\0\0\0\0\1\x41\xBB", 13),
                                      QByteArray("\x12\0\0\0\1\0\0\0\1\x41\0\1\0\0\2\0\0\1", 18),
                                      QByteArray("\x41\x42\x43\x44", 4)})
            blocks.push_back({fourcc::bytes(code) + odd, false, timeMs += 40});
        ComponentRef<IAVInformer_LibavExport> informer = samples::describedBy(code, blocks);
        ASSERT_TRUE(informer);
        // The parameter sets as the archive stores them, for the muxer to rewrite.
        media::PacketHolder first = codecs::paddedCopy(QByteArrayView(blocks[0].payload).sliced(4));
        media::BsfHolder extract = codecs::makeFilter("extract_extradata", codecs::codecIdOf(code));
        ASSERT_TRUE(first && extract && codecs::filterPacket(extract.get(), first.get()));
        size_t annexBSize = 0;
        const uint8_t *annexB = av_packet_get_side_data(first.get(), AV_PKT_DATA_NEW_EXTRADATA, &annexBSize);
        ASSERT_TRUE(annexB);

        const QByteArray byMuxer = muxed(
            blocks,
            [&](AVCodecParameters *par) {
                par->codec_type = AVMEDIA_TYPE_VIDEO;
                par->codec_id = codecs::codecIdOf(code);
                par->width = 320;
                par->height = 240;
                par->extradata = static_cast<uint8_t *>(av_mallocz(annexBSize + AV_INPUT_BUFFER_PADDING_SIZE));
                memcpy(par->extradata, annexB, annexBSize);
                par->extradata_size = int(annexBSize);
                return true;
            },
            [](const samples::Block &block, AVPacket *packet) { return codecs::referenceBytes(block.payload, 4, packet); });
        AVFormatContext *context = nullptr;
        const QByteArray byInformer = muxed(
            blocks,
            [&](AVCodecParameters *par) {
                // The informer adds a stream of its own; this one takes its description.
                avformat_alloc_output_context2(&context, nullptr, "matroska", nullptr);
                media::FormatContextHolder holder(context);
                return informer->fillStream(context) && avcodec_parameters_copy(par, context->streams[0]->codecpar) >= 0 &&
                       par->extradata[0] == 1;  // an avcC/hvcC record: nothing for the muxer to rewrite
            },
            [&](const samples::Block &block, AVPacket *packet) {
                bool startNewFile = false;
                return informer->fillPacket(block.payload, block.key, packet, &startNewFile) && !startNewFile;
            });
        EXPECT_GT(byMuxer.size(), 1000);
        EXPECT_TRUE(byInformer == byMuxer);
    }
}

}  // namespace
