// A codec informer over arbitrary blocks: offered as key frames until it can
// describe its stream, then writing a Matroska file to memory with every
// block as a packet, as the exporter does.
#include "client/codecs/FormatManager.h"
#include "client/media/FourCC.h"
#include "tests/fuzz/Harness.h"
#include "tests/fuzz/HarnessSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <iterator>
#include <vector>

namespace fuzzharness {

namespace {

constexpr uint32_t kCodes[] = {fourcc::kH264, fourcc::kHevc, fourcc::kMjpeg,
                               fourcc::kAac,  fourcc::kUlaw, fourcc::kAlaw};
constexpr uint16_t kKeyBit = 0x8000;

struct Block {
    QByteArray bytes;  // code first
    bool key;
};

// Writes the file; the packets made, -1 when the muxer refused the stream.
int64_t writeMatroska(IAVInformer_LibavExport &informer, const std::vector<Block> &blocks)
{
    AVFormatContext *context = nullptr;
    if (avformat_alloc_output_context2(&context, nullptr, "matroska", nullptr) < 0 || !context)
        brokenPromise("FFmpeg has no Matroska muxer");
    int64_t packets = -1;
    if (avio_open_dyn_buf(&context->pb) < 0)
        brokenPromise("no memory for the file");
    if (informer.fillStream(context) && avformat_write_header(context, nullptr) >= 0) {
        packets = 0;
        AVPacket *packet = av_packet_alloc();
        int64_t timeMs = 0;
        for (const Block &block : blocks) {
            bool startNewFile = false;
            const bool filled = informer.fillPacket(block.bytes, block.key, packet, &startNewFile);
            if (filled && packet->data) {
                packet->pts = packet->dts = av_rescale_q(timeMs, AVRational{1, 1000}, context->streams[0]->time_base);
                if (block.key)
                    packet->flags |= AV_PKT_FLAG_KEY;
                av_write_frame(context, packet);
                ++packets;
            }
            av_packet_unref(packet);
            timeMs += 40;
        }
        av_packet_free(&packet);
        av_write_trailer(context);
    }
    uint8_t *written = nullptr;
    avio_close_dyn_buf(context->pb, &written);
    av_free(written);
    context->pb = nullptr;
    avformat_free_context(context);
    return packets;
}

}  // namespace

int64_t informBlocks(const uint8_t *data, size_t sizeBytes)
{
    if (sizeBytes < 1)
        return -1;
    const uint32_t code = kCodes[data[0] % std::size(kCodes)];
    std::vector<Block> blocks;
    ChunkReader input(data + 1, sizeBytes - 1);
    while (!input.atEnd()) {
        const uint16_t header = input.header();
        blocks.push_back(Block{fourcc::bytes(code) + input.bytes(header & ~kKeyBit), (header & kKeyBit) != 0});
    }

    ComponentRef<IAVFormatManager> manager = codecs::makeFormatManager();
    ComponentRef<IAVInformer> informer = manager->createInformer(code, QByteArray());
    if (!informer)
        brokenPromise("the format manager has no informer for one of its codes");
    for (const Block &block : blocks) {
        if (informer->isReady())
            break;
        informer->addBlock(block.bytes, true);
    }
    if (!informer->isReady())
        return -1;
    ComponentRef<IAVInformer_LibavExport> exporter(informer);
    if (!exporter)
        brokenPromise("an informer that cannot fill a Matroska stream");
    return writeMatroska(*exporter, blocks);
}

}  // namespace fuzzharness
