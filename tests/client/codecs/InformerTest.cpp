// The format manager's informers over blocks velt-archive synth records:
// the stream each describes, the packets it makes, what it refuses, and the
// blocks that ask for a new file.
#include "client/codecs/FormatManager.h"
#include "client/codecs/LengthPrefixed.h"
#include "client/codecs/Libav.h"
#include "tests/client/tools/ToolTestUtil.h"

#include <QTemporaryDir>
#include <functional>

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace {

using tooltest::Block;

// The blocks of one stream in the first 0.8 s that velt-archive synth
// records with `options` (video with a key frame every three pictures).
std::vector<Block> synthesized(uint8_t stream, const QStringList &options)
{
    QTemporaryDir tmp;
    EXPECT_EQ(tooltest::runTool(QStringList{"synth", "a", "--seconds", "0.8", "--gop", "3"} + options, tmp.path()).exitCode, 0);
    std::vector<Block> blocks = tooltest::blocksOf(tmp.filePath("a")).at(0);
    blocks.erase(std::remove_if(blocks.begin(), blocks.end(), [stream](const Block &b) { return b.stream != stream; }), blocks.end());
    return blocks;
}
std::vector<Block> video(const char *codec, const char *size = "160x120")
{
    return synthesized(archivetest::V, {"--video", codec, "--size", size, "--audio", "none"});
}
std::vector<Block> audio(const char *codec, const char *rateHz = "16000", const char *channels = "1")
{
    return synthesized(archivetest::A, {"--audio", codec, "--audio-rate", rateHz, "--channels", channels, "--size", "160x120"});
}

ComponentRef<IAVInformer_LibavExport> informerFor(uint32_t code)
{
    return ComponentRef<IAVInformer_LibavExport>(codecs::makeFormatManager()->createInformer(code, {}));
}

struct Packed {
    bool ok = false;
    bool startNewFile = false;
    QByteArray bytes;  // the packet's data, null when none
};

Packed pack(IAVInformer_LibavExport &informer, const QByteArray &block, bool key)
{
    Packed result;
    media::PacketHolder packet(av_packet_alloc());
    result.ok = informer.fillPacket(block, key, packet.get(), &result.startNewFile);
    result.bytes = packet->data ? QByteArray(reinterpret_cast<const char *>(packet->data), packet->size) : QByteArray();
    return result;
}

// What the informer packs of an encoded `payload`: H.264 goes to the
// muxer length-prefixed (checked against the muxer's own rewrite below).
QByteArray asStored(AVCodecID codecId, const QByteArray &payload)
{
    if (codecId != AV_CODEC_ID_H264)
        return payload;
    media::PacketHolder packet(av_packet_alloc());
    EXPECT_TRUE(codecs::packLengthPrefixed(payload, packet.get()));
    return QByteArray(reinterpret_cast<const char *>(packet->data), packet->size);
}

// The NAL units of Annex B `bytes` as FFmpeg's muxers split them: zeros
// before a 4-byte start code stay with the unit before, but not the code's own.
std::vector<QByteArray> nalUnits(const QByteArray &bytes)
{
    media::PacketHolder packet(av_packet_alloc());
    EXPECT_TRUE(codecs::packLengthPrefixed(bytes, packet.get()));
    std::vector<QByteArray> units;
    for (int at = 0; at + 4 <= packet->size; at += 4 + int(units.back().size()))
        units.emplace_back(reinterpret_cast<const char *>(packet->data) + at + 4, int(AV_RB32(packet->data + at)));
    return units;
}

// H.264 or HEVC blocks with every start code 4 bytes long, as many cameras
// send them; the parameter sets are followed by one.
std::vector<Block> withLongStartCodes(std::vector<Block> blocks)
{
    for (Block &b : blocks) {
        QByteArray payload = b.payload.left(fourcc::kSizeBytes);
        for (const QByteArray &unit : nalUnits(b.payload.mid(fourcc::kSizeBytes)))
            payload += QByteArray("\0\0\0\1", 4) + unit;
        b.payload = payload;
    }
    return blocks;
}

// The parameter sets of an H.264 or HEVC stream description: an avcC
// record's (the SPS count in the low bits of byte 5, each set behind its
// 16-bit size, then the PPS count), or Annex B units.
std::vector<QByteArray> parameterSets(const AVCodecParameters *par)
{
    const QByteArray d(reinterpret_cast<const char *>(par->extradata), par->extradata_size);
    if (!d.startsWith('\1'))
        return nalUnits(d);
    std::vector<QByteArray> sets;
    qsizetype at = 5;
    for (const int countMask : {0x1f, 0xff}) {
        for (int n = at < d.size() ? uint8_t(d[at++]) & countMask : 0; n > 0 && at + 2 <= d.size(); --n) {
            const int size = (uint8_t(d[at]) << 8) | uint8_t(d[at + 1]);
            sets.push_back(d.mid(at + 2, size));
            at += 2 + size;
        }
    }
    return sets;
}

// A block that follows a described stream, and what packing it gives. In
// order: the MJPEG informer keeps the last picture size it read.
struct Next {
    const char *what;
    QByteArray block;
    bool key, ok, startNewFile;
};

TEST(InformerTest, DescribesItsStreamPacksItsBlocksAndAsksForANewFileWhenOneNoLongerFits)
{
    const QByteArray unreadable(300, '\x11');
    QByteArray brokenAdts = audio("aac")[1].payload;
    brokenAdts[fourcc::kSizeBytes] = 0;
    const struct {
        const char *what;
        std::vector<Block> blocks;
        AVCodecID codecId;
        int width, height, rateHz, channels, extradataBytes;  // extradata -1: some
        int64_t bitRate;
        int blockAlign, headerBytes;  // headerBytes: stripped from each block
        std::vector<Next> next;
    } cases[] = {
        {"H.264", withLongStartCodes(video("h264")), AV_CODEC_ID_H264, 160, 120, 0, 0, -1, 0, 0, 0,
         {{"a key frame of another size", video("h264", "128x96")[0].payload, true, true, true},
          {"a block of another code", video("mjpeg")[1].payload, false, true, true},
          {"a key frame that tells nothing: kept", fourcc::bytes(fourcc::kH264) + unreadable, true, true, false}}},
        {"HEVC", withLongStartCodes(video("hevc")), AV_CODEC_ID_HEVC, 160, 120, 0, 0, -1, 0, 0, 0,
         {{"a key frame of another size", video("hevc", "128x96")[0].payload, true, true, true}}},
        {"MJPEG", video("mjpeg"), AV_CODEC_ID_MJPEG, 160, 120, 0, 0, 0, 0, 0, 0,
         {{"a picture that tells nothing: kept", fourcc::bytes(fourcc::kMjpeg) + unreadable, true, true, false},
          {"a picture of another size", video("mjpeg", "128x96")[0].payload, true, true, true}}},
        {"AAC mono", audio("aac"), AV_CODEC_ID_AAC, 0, 0, 16000, 1, 2, 0, 0, 7,
         {{"another rate", audio("aac", "8000")[0].payload, true, true, true},
          {"another channel count", audio("aac", "16000", "2")[0].payload, true, true, true},
          {"no ADTS header", brokenAdts, true, false, false}}},
        {"AAC stereo", audio("aac", "8000", "2"), AV_CODEC_ID_AAC, 0, 0, 8000, 2, 2, 0, 0, 7, {}},
        {"mu-law", audio("ulaw"), AV_CODEC_ID_PCM_MULAW, 0, 0, 8000, 1, 0, 64000, 1, 0,
         {{"A-law", audio("alaw")[0].payload, true, true, true}}},
        {"A-law", audio("alaw"), AV_CODEC_ID_PCM_ALAW, 0, 0, 8000, 1, 0, 64000, 1, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.blocks.size(), 6u);
        const QByteArray first = c.blocks[0].payload, code = first.left(fourcc::kSizeBytes);
        ComponentRef<IAVInformer_LibavExport> informer = informerFor(fourcc::of(code));
        ASSERT_TRUE(informer);
        const QByteArray otherCode = fourcc::bytes(fourcc::of(code) == fourcc::kH264 ? fourcc::kHevc : fourcc::kH264);
        for (const QByteArray &refused : {code.left(3), code, otherCode + first.mid(fourcc::kSizeBytes)})
            EXPECT_FALSE(informer->addBlock(refused, true));
        const bool anyBytesDo = c.codecId == AV_CODEC_ID_PCM_MULAW || c.codecId == AV_CODEC_ID_PCM_ALAW;
        EXPECT_EQ(informer->addBlock(code + QByteArray(200, '\x5a'), true), anyBytesDo);
        EXPECT_EQ(informer->isReady(), anyBytesDo);
        EXPECT_FALSE(pack(*informer, first, true).ok) << "packed before its stream was added";

        // Described from its first block, in a Matroska muxer context (no file opened).
        informer = informerFor(fourcc::of(code));
        AVFormatContext *made = nullptr;
        avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr);
        const media::FormatContextHolder context(made);
        ASSERT_TRUE(informer->addBlock(first, true) && informer->isReady() && informer->fillStream(made));
        ASSERT_EQ(context->nb_streams, 1u);
        const AVCodecParameters *par = context->streams[0]->codecpar;
        EXPECT_EQ((std::vector<int64_t>{par->codec_id, par->width, par->height, par->sample_rate,
                                        par->ch_layout.nb_channels, par->bit_rate, par->block_align}),
                  (std::vector<int64_t>{c.codecId, c.width, c.height, c.rateHz, c.channels, c.bitRate, c.blockAlign}));
        EXPECT_TRUE(c.extradataBytes < 0 ? par->extradata_size > 0 : par->extradata_size == c.extradataBytes)
            << par->extradata_size;
        if (c.codecId == AV_CODEC_ID_H264 || c.codecId == AV_CODEC_ID_HEVC) {
            // A NAL unit ends in a non-zero byte (its stop bit).
            const std::vector<QByteArray> sets = parameterSets(par);
            EXPECT_EQ(sets.size(), c.codecId == AV_CODEC_ID_HEVC ? 3u : 2u);
            for (const QByteArray &set : sets)
                EXPECT_TRUE(!set.isEmpty() && !set.endsWith('\0')) << set.toHex().toStdString();
        }
        for (const Block &b : c.blocks) {
            const Packed packed = pack(*informer, b.payload, b.key);
            EXPECT_TRUE(packed.ok && !packed.startNewFile) << b;
            EXPECT_EQ(packed.bytes, asStored(c.codecId, b.payload.mid(fourcc::kSizeBytes + c.headerBytes))) << b;
        }
        for (const Next &next : c.next) {
            const Packed packed = pack(*informer, next.block, next.key);
            EXPECT_TRUE(packed.ok == next.ok && packed.startNewFile == next.startNewFile) << next.what;
            EXPECT_EQ(packed.bytes,
                      next.ok && !next.startNewFile ? asStored(c.codecId, next.block.mid(fourcc::kSizeBytes)) : QByteArray())
                << next.what;
        }
    }
    EXPECT_FALSE(informerFor(fourcc::make('V', 'P', '8', '0')));
    EXPECT_FALSE(informerFor(0));
}

// H.264 goes to the muxer length-prefixed: the file must hold the
// bytes the muxer writes when it rewrites the Annex B blocks itself, also
// for short and long start codes, stray zeros and bytes outside NAL units.
// A Matroska file of one video stream, described by `fill`, packets by `pack`.
QByteArray muxed(const std::vector<Block> &blocks, const std::function<bool(AVCodecParameters *)> &fill,
                 const std::function<bool(const Block &, AVPacket *)> &pack)
{
    AVFormatContext *made = nullptr;
    avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr);
    media::FormatContextHolder file(made);
    file->flags |= AVFMT_FLAG_BITEXACT | AVFMT_FLAG_CUSTOM_IO;
    AVStream *stream = avformat_new_stream(made, nullptr);
    EXPECT_TRUE(fill(stream->codecpar));
    stream->time_base = AVRational{1, 1000};
    EXPECT_TRUE(avio_open_dyn_buf(&file->pb) >= 0 && avformat_write_header(made, nullptr) >= 0);
    for (const Block &block : blocks) {
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
    const uint32_t code = fourcc::kH264;
    std::vector<Block> blocks = video("h264", "320x240");
    int64_t timeMs = blocks.back().timeMs;
    for (const QByteArray &odd : {QByteArray("\0\0\1\x41\xAA\0\0\0\0\0\1\x41\xBB", 13),
                                  QByteArray("\x12\0\0\0\1\0\0\0\1\x41\0\1\0\0\2\0\0\1", 18),
                                  QByteArray("\x41\x42\x43\x44", 4)})
        blocks.push_back({archivetest::V, timeMs += 40, false, fourcc::bytes(code) + odd});
    ComponentRef<IAVInformer_LibavExport> informer = informerFor(code);
    ASSERT_TRUE(informer && informer->addBlock(blocks[0].payload, true));
    // The parameter sets as the archive stores them, for the muxer to rewrite.
    media::PacketHolder first = codecs::paddedCopy(QByteArrayView(blocks[0].payload).sliced(4));
    media::BsfHolder extract = codecs::makeFilter("extract_extradata", codecs::codecIdOf(code));
    ASSERT_TRUE(first && extract && codecs::filterPacket(extract.get(), first.get()));
    size_t extractedSize = 0;
    const uint8_t *extracted = av_packet_get_side_data(first.get(), AV_PKT_DATA_NEW_EXTRADATA, &extractedSize);
    ASSERT_TRUE(extracted);
    const QByteArray annexB = codecs::withoutTrailingZeros(QByteArrayView(extracted, qsizetype(extractedSize)));
    const auto annexBSize = size_t(annexB.size());

    const QByteArray byMuxer = muxed(
        blocks,
        [&](AVCodecParameters *par) {
            par->codec_type = AVMEDIA_TYPE_VIDEO;
            par->codec_id = codecs::codecIdOf(code);
            par->width = 320;
            par->height = 240;
            par->extradata = static_cast<uint8_t *>(av_mallocz(annexBSize + AV_INPUT_BUFFER_PADDING_SIZE));
            memcpy(par->extradata, annexB.constData(), annexBSize);
            par->extradata_size = int(annexBSize);
            return true;
        },
        [](const Block &block, AVPacket *packet) { return codecs::referenceBytes(block.payload, 4, packet); });
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
        [&](const Block &block, AVPacket *packet) {
            bool startNewFile = false;
            return informer->fillPacket(block.payload, block.key, packet, &startNewFile) && !startNewFile;
        });
    EXPECT_GT(byMuxer.size(), 1000);
    EXPECT_TRUE(byInformer == byMuxer);
}

}  // namespace
