// A codec informer over arbitrary blocks: offered as key frames until it can
// describe its stream, then writing a Matroska file to memory with every
// block as a packet, as the exporter does.
#include "client/codecs/FormatManager.h"
#include "client/media/FFmpegHolders.h"
#include "client/media/FourCC.h"
#include "plugin/export/ParameterSets.h"
#include "tests/fuzz/Harness.h"

#include <iterator>

namespace fuzzharness {

namespace {

constexpr uint32_t kCodes[] = {fourcc::kH264, fourcc::kHevc, fourcc::kMjpeg,
                               fourcc::kAac,  fourcc::kUlaw, fourcc::kAlaw};
constexpr uint16_t kKeyBit = 0x8000;

// Writes the file; the packets made, -1 when the muxer refused the stream.
int64_t writeMatroska(IAVInformer_LibavExport &informer, const std::vector<std::pair<bool, QByteArray>> &blocks)
{
    AVFormatContext *made = nullptr;
    if (avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr) < 0 || !made)
        brokenPromise("FFmpeg has no Matroska muxer");
    media::FormatContextHolder context(made);
    if (avio_open_dyn_buf(&context->pb) < 0)
        brokenPromise("no memory for the file");
    int64_t packets = -1;
    // The exporter's own check of the parameter sets comes first: libavformat
    // 5.1's hvcC writer reads an HEVC SPS's long-term reference count without
    // a bound and spins for minutes on a damaged one
    // (regressions/fuzz_informers/hevc-sps-long-term-refs).
    const bool described = informer.fillStream(context.get());
    if (described && parametersets::usable(context->streams[0]->codecpar) &&
        avformat_write_header(context.get(), nullptr) >= 0) {
        packets = 0;
        media::PacketHolder packet(av_packet_alloc());
        int64_t timeMs = 0;
        for (const auto &[key, bytes] : blocks) {
            bool startNewFile = false;
            if (informer.fillPacket(bytes, key, packet.get(), &startNewFile) && packet->data) {
                packet->pts = packet->dts = av_rescale_q(timeMs, AVRational{1, 1000}, context->streams[0]->time_base);
                packet->flags |= key ? AV_PKT_FLAG_KEY : 0;
                av_write_frame(context.get(), packet.get());
                ++packets;
            }
            av_packet_unref(packet.get());
            timeMs += 40;
        }
        av_write_trailer(context.get());
    }
    uint8_t *written = nullptr;
    avio_close_dyn_buf(context->pb, &written);
    av_free(written);
    context->pb = nullptr;
    return packets;
}

}  // namespace

int64_t informBlocks(const uint8_t *data, size_t sizeBytes)
{
    if (sizeBytes < 1)
        return -1;
    const uint32_t code = kCodes[data[0] % std::size(kCodes)];
    std::vector<std::pair<bool, QByteArray>> blocks;
    for (const auto &[header, bytes] : chunks(data + 1, sizeBytes - 1, uint16_t(~kKeyBit)))
        blocks.emplace_back((header & kKeyBit) != 0, fourcc::bytes(code) + bytes);

    ComponentRef<IAVInformer> informer = codecs::makeFormatManager()->createInformer(code, QByteArray());
    if (!informer)
        brokenPromise("the format manager has no informer for one of its codes");
    for (size_t i = 0; i < blocks.size() && !informer->isReady(); ++i)
        informer->addBlock(blocks[i].second, true);
    if (!informer->isReady())
        return -1;
    ComponentRef<IAVInformer_LibavExport> exporter(informer);
    if (!exporter)
        brokenPromise("an informer that cannot fill a Matroska stream");
    return writeMatroska(*exporter, blocks);
}

}  // namespace fuzzharness
