// The format manager's lookups and what each informer accepts, refuses and
// asks a new file for.
#include "client/codecs/FormatManager.h"
#include "client/codecs/LengthPrefixed.h"
#include "client/media/FFmpegHolders.h"
#include "client/media/FourCC.h"
#include "client/runtime/Components.h"
#include "plugin/host/Guids.h"
#include "tests/client/codecs/Samples.h"

#include <gtest/gtest.h>
#include <random>

namespace {

using samples::Block;

const uint32_t kAllCodes[] = {fourcc::kH264, fourcc::kHevc, fourcc::kMjpeg,
                              fourcc::kAac,  fourcc::kUlaw, fourcc::kAlaw};

std::vector<Block> samplesOf(uint32_t code)
{
    if (code == fourcc::kH264 || code == fourcc::kHevc || code == fourcc::kMjpeg)
        return samples::video(code, 160, 120, 6, 3);
    return samples::audio(code, 300);
}

// A muxer context to describe streams into; no file is opened.
media::FormatContextHolder matroskaContext()
{
    AVFormatContext *made = nullptr;
    avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr);
    return media::FormatContextHolder(made);
}

struct Packed {
    bool ok = false;
    bool startNewFile = false;
    QByteArray bytes;  // the packet's data, null when none
};

Packed pack(IAVInformer_LibavExport *informer, const QByteArray &block, bool key)
{
    media::PacketHolder packet(av_packet_alloc());
    Packed result;
    result.ok = informer->fillPacket(block, key, packet.get(), &result.startNewFile);
    if (packet->data)
        result.bytes = QByteArray(reinterpret_cast<const char *>(packet->data), packet->size);
    return result;
}

// The encoded bytes of `block` as the file stores them: H.264 and HEVC
// length-prefixed (LengthPrefixedTest checks that form against the muxer's).
QByteArray asStored(uint32_t code, const QByteArray &block)
{
    const QByteArrayView payload = QByteArrayView(block).sliced(fourcc::kSizeBytes);
    media::PacketHolder packet(av_packet_alloc());
    if (code != fourcc::kH264 && code != fourcc::kHevc)
        return payload.toByteArray();
    EXPECT_TRUE(codecs::packLengthPrefixed(payload, packet.get()));
    return QByteArray(reinterpret_cast<const char *>(packet->data), packet->size);
}

QByteArray withCode(uint32_t code, const QByteArray &block)
{
    return fourcc::bytes(code) + block.mid(fourcc::kSizeBytes);
}

TEST(FormatManagerTest, PublishedManagerMakesInformersForKnownCodesOnly)
{
    velt::ComponentManager manager;
    codecs::publish(manager);
    ComponentRef<IAVFormatManager> formats(manager.getComponent(guids::kAVFormatManager));
    ASSERT_TRUE(formats);
    for (uint32_t code : kAllCodes) {
        ComponentRef<IAVInformer_LibavExport> informer(formats->createInformer(code, QByteArray()));
        ASSERT_TRUE(informer) << fourcc::bytes(code).constData();
        EXPECT_FALSE(informer->isReady());
    }
    EXPECT_FALSE(formats->createInformer(fourcc::make('V', 'P', '8', '0'), QByteArray()));
    EXPECT_FALSE(formats->createInformer(0, QByteArray()));
}

TEST(InformerTest, RefusesBlocksThatAreNotOfItsCodec)
{
    const QByteArray garbage = QByteArray(200, '\x5a');
    for (uint32_t code : kAllCodes) {
        SCOPED_TRACE(fourcc::bytes(code).constData());
        const std::vector<Block> blocks = samplesOf(code);
        ASSERT_FALSE(blocks.empty());
        ComponentRef<IAVInformer_LibavExport> informer = samples::informerFor(code);
        EXPECT_FALSE(informer->addBlock(fourcc::bytes(code).left(3), true));
        EXPECT_FALSE(informer->addBlock(fourcc::bytes(code), true));
        const uint32_t other = code == fourcc::kH264 ? fourcc::kHevc : fourcc::kH264;
        EXPECT_FALSE(informer->addBlock(withCode(other, blocks[0].payload), true));
        const bool anyBytesDo = code == fourcc::kUlaw || code == fourcc::kAlaw;
        EXPECT_EQ(informer->addBlock(fourcc::bytes(code) + garbage, true), anyBytesDo);
        if (code == fourcc::kMjpeg || code == fourcc::kAac) {
            EXPECT_FALSE(informer->addBlock(fourcc::bytes(code) + garbage, false));
        }
        EXPECT_EQ(informer->isReady(), anyBytesDo);

        // Not described in a file yet: nothing can be packed.
        EXPECT_FALSE(pack(informer.get(), blocks[0].payload, blocks[0].key).ok);
    }
}

TEST(InformerTest, DamagedBlocksAreRefusedOrPackedWhole)
{
    std::mt19937 random(20240503);
    for (uint32_t code : kAllCodes) {
        SCOPED_TRACE(fourcc::bytes(code).constData());
        const std::vector<Block> blocks = samplesOf(code);
        ComponentRef<IAVInformer_LibavExport> described = samples::describedBy(code, blocks);
        ASSERT_TRUE(described && described->isReady());
        media::FormatContextHolder context = matroskaContext();
        ASSERT_TRUE(described->fillStream(context.get()));
        EXPECT_FALSE(pack(described.get(), fourcc::bytes(code).left(3), true).ok);
        EXPECT_FALSE(pack(described.get(), fourcc::bytes(code), true).ok);
        for (int round = 0; round < 60; ++round) {
            QByteArray block = blocks[random() % blocks.size()].payload;
            block.truncate(fourcc::kSizeBytes + qsizetype(random() % (block.size() - fourcc::kSizeBytes + 1)));
            for (int flips = random() % 8; flips > 0 && block.size() > fourcc::kSizeBytes; --flips)
                block[fourcc::kSizeBytes + qsizetype(random() % (block.size() - fourcc::kSizeBytes))] = char(random());
            const bool key = random() % 2;
            samples::informerFor(code)->addBlock(block, key);
            const Packed packed = pack(described.get(), block, key);
            if (packed.ok && !packed.startNewFile && code != fourcc::kAac) {
                EXPECT_EQ(packed.bytes, asStored(code, block));
            }
        }
    }
}

class VideoChangeTest : public testing::TestWithParam<uint32_t> {};

TEST_P(VideoChangeTest, KeyFrameOfAnotherSizeOrCodeStartsNewFile)
{
    const uint32_t code = GetParam();
    const std::vector<Block> first = samples::video(code, 160, 120, 6, 3);
    const std::vector<Block> resized = samples::video(code, 128, 96, 2, 3);
    ASSERT_EQ(first.size(), 6u);
    ASSERT_TRUE(first[3].key);
    ComponentRef<IAVInformer_LibavExport> informer = samples::describedBy(code, first);
    ASSERT_TRUE(informer && informer->isReady());
    media::FormatContextHolder context = matroskaContext();
    ASSERT_TRUE(informer->fillStream(context.get()));
    EXPECT_EQ(context->streams[0]->codecpar->width, 160);

    for (const Block &block : first) {
        const Packed packed = pack(informer.get(), block.payload, block.key);
        EXPECT_TRUE(packed.ok && !packed.startNewFile);
        EXPECT_EQ(packed.bytes, asStored(code, block.payload));
    }
    // A key frame that tells nothing is taken as unchanged and kept whole.
    const QByteArray unreadable = fourcc::bytes(code) + QByteArray(300, '\x11');
    const Packed garbage = pack(informer.get(), unreadable, true);
    EXPECT_TRUE(garbage.ok && !garbage.startNewFile);
    EXPECT_EQ(garbage.bytes, asStored(code, unreadable));

    const Packed resizedKey = pack(informer.get(), resized[0].payload, true);
    EXPECT_TRUE(resizedKey.ok && resizedKey.startNewFile);
    EXPECT_TRUE(resizedKey.bytes.isNull());

    const uint32_t other = code == fourcc::kMjpeg ? fourcc::kH264 : fourcc::kMjpeg;
    const Packed otherCode = pack(informer.get(), withCode(other, first[1].payload), false);
    EXPECT_TRUE(otherCode.ok && otherCode.startNewFile);
    EXPECT_TRUE(otherCode.bytes.isNull());
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoChangeTest, testing::Values(fourcc::kH264, fourcc::kHevc, fourcc::kMjpeg),
                         [](const testing::TestParamInfo<uint32_t> &info) {
                             return fourcc::bytes(info.param).toStdString();
                         });

TEST(AudioChangeTest, AacPacketsAreRawAndAnotherConfigurationStartsNewFile)
{
    const std::vector<Block> mono16k = samples::audio(fourcc::kAac, 300, 16000, 1);
    ComponentRef<IAVInformer_LibavExport> informer = samples::describedBy(fourcc::kAac, mono16k);
    ASSERT_TRUE(informer && informer->isReady());
    media::FormatContextHolder context = matroskaContext();
    ASSERT_TRUE(informer->fillStream(context.get()));
    const AVCodecParameters *par = context->streams[0]->codecpar;
    EXPECT_EQ(par->sample_rate, 16000);
    EXPECT_EQ(par->ch_layout.nb_channels, 1);
    EXPECT_EQ(par->extradata_size, 2);

    const int adtsHeaderBytes = 7;
    for (const Block &block : mono16k) {
        const Packed packed = pack(informer.get(), block.payload, block.key);
        EXPECT_TRUE(packed.ok && !packed.startNewFile);
        EXPECT_EQ(packed.bytes, block.payload.mid(fourcc::kSizeBytes + adtsHeaderBytes));
    }
    for (const std::vector<Block> &other : {samples::audio(fourcc::kAac, 100, 8000, 1),
                                            samples::audio(fourcc::kAac, 100, 16000, 2)}) {
        const Packed packed = pack(informer.get(), other[0].payload, true);
        EXPECT_TRUE(packed.ok && packed.startNewFile);
    }
    QByteArray broken = mono16k[1].payload;
    broken[fourcc::kSizeBytes] = 0;
    EXPECT_FALSE(pack(informer.get(), broken, false).ok);
    EXPECT_FALSE(pack(informer.get(), broken, true).ok);
}

TEST(AudioChangeTest, G711PacketsAreUnchangedAndTheOtherLawStartsNewFile)
{
    const std::vector<Block> ulaw = samples::audio(fourcc::kUlaw, 100);
    ComponentRef<IAVInformer_LibavExport> informer = samples::describedBy(fourcc::kUlaw, ulaw);
    media::FormatContextHolder context = matroskaContext();
    ASSERT_TRUE(informer->fillStream(context.get()));
    const AVCodecParameters *par = context->streams[0]->codecpar;
    EXPECT_EQ(par->codec_id, AV_CODEC_ID_PCM_MULAW);
    EXPECT_EQ(par->bit_rate, 64000);
    EXPECT_EQ(par->block_align, 1);

    const Packed same = pack(informer.get(), ulaw[1].payload, true);
    EXPECT_TRUE(same.ok && !same.startNewFile);
    EXPECT_EQ(same.bytes, ulaw[1].payload.mid(fourcc::kSizeBytes));
    const Packed alaw = pack(informer.get(), samples::audio(fourcc::kAlaw, 20)[0].payload, true);
    EXPECT_TRUE(alaw.ok && alaw.startNewFile);
}

}  // namespace
