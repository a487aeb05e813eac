// The informers hand H.264 and HEVC over length-prefixed: the file must hold
// the same bytes as when the muxer rewrites the Annex B blocks itself, also
// for blocks with short or long start codes, stray zeros and bytes outside
// any NAL unit.
#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"
#include "tests/client/codecs/Samples.h"

#include <gtest/gtest.h>

namespace {

// A Matroska file of one video stream, made by `fill` (stream) and `pack`.
template <typename Fill, typename Pack>
QByteArray muxed(const std::vector<samples::Block> &blocks, Fill fill, Pack pack)
{
    AVFormatContext *made = nullptr;
    EXPECT_GE(avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr), 0);
    media::FormatContextHolder file(made);
    file->flags |= AVFMT_FLAG_BITEXACT | AVFMT_FLAG_CUSTOM_IO;
    EXPECT_TRUE(fill(file.get()));
    file->streams[0]->time_base = AVRational{1, 1000};
    EXPECT_GE(avio_open_dyn_buf(&file->pb), 0);
    EXPECT_EQ(avformat_write_header(file.get(), nullptr), 0);
    for (const samples::Block &block : blocks) {
        media::PacketHolder packet(av_packet_alloc());
        EXPECT_TRUE(pack(block, packet.get()));
        packet->flags = block.key ? AV_PKT_FLAG_KEY : 0;
        packet->pts = packet->dts = block.timeMs;
        EXPECT_GE(av_write_frame(file.get(), packet.get()), 0);
    }
    EXPECT_EQ(av_write_trailer(file.get()), 0);
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
        for (const QByteArray &odd :
             {QByteArray("\0\0\1\x41\xAA\0\0\1\x41\xBB", 10), QByteArray("\0\0\0\1\x41\xAA\0\0\0\0\0\0\1\x41\xBB", 15),
              QByteArray("\x12\x34\0\0\1\x41\xCC", 7), QByteArray("\0\0\0\1\x41\xDD\0\0\1", 9),
              QByteArray("\0\0\0\1\0\0\0\1\x41\xEE\0\0", 12), QByteArray("\0\0\0\0\0\1\x41\0\1\0\0\2\0\0\1", 15),
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
            [&](AVFormatContext *file) {
                AVCodecParameters *par = avformat_new_stream(file, nullptr)->codecpar;
                par->codec_type = AVMEDIA_TYPE_VIDEO;
                par->codec_id = codecs::codecIdOf(code);
                par->width = 320;
                par->height = 240;
                par->extradata = static_cast<uint8_t *>(av_mallocz(annexBSize + AV_INPUT_BUFFER_PADDING_SIZE));
                memcpy(par->extradata, annexB, annexBSize);
                par->extradata_size = int(annexBSize);
                return true;
            },
            [](const samples::Block &block, AVPacket *packet) {
                return codecs::referenceBytes(block.payload, 4, packet);
            });
        const QByteArray byInformer = muxed(
            blocks,
            [&](AVFormatContext *file) {
                // An avcC/hvcC record, version 1: the muxer is given nothing to rewrite.
                return informer->fillStream(file) && file->streams[0]->codecpar->extradata[0] == 1;
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
