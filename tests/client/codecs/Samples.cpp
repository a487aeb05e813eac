#include "tests/client/codecs/Samples.h"

#include "client/codecs/FormatManager.h"
#include "client/media/FFmpegHolders.h"
#include "client/media/FourCC.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <QCryptographicHash>
#include <cmath>
#include <cstring>
#include <functional>

// libx265 keeps some of every encoder's buffers until the process ends;
// LeakSanitizer asks for this in sanitizer builds, other builds ignore it.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libx265\n";
}

namespace samples {

namespace {

using media::CodecContextHolder;
using media::FrameHolder;
using media::PacketHolder;

// Sends `frame` (null to drain) and appends every packet the encoder gives.
void encode(AVCodecContext *encoder, const AVFrame *frame, std::vector<PacketHolder> *packets)
{
    if (avcodec_send_frame(encoder, frame) < 0)
        return;
    for (;;) {
        PacketHolder packet(av_packet_alloc());
        if (avcodec_receive_packet(encoder, packet.get()) < 0)
            return;
        packets->push_back(std::move(packet));
    }
}

CodecContextHolder openEncoder(const char *name, const std::function<void(AVCodecContext *)> &setUp)
{
    av_log_set_level(AV_LOG_WARNING);  // no encoder statistics
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    CodecContextHolder encoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!encoder)
        return nullptr;
    setUp(encoder.get());
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
        return nullptr;
    return encoder;
}

Block blockOf(uint32_t code, const AVPacket &packet, int64_t timeMs)
{
    Block block;
    block.payload = fourcc::bytes(code) + QByteArray(reinterpret_cast<const char *>(packet.data), packet.size);
    block.key = packet.flags & AV_PKT_FLAG_KEY;
    block.timeMs = timeMs;
    return block;
}

const char *encoderName(uint32_t code)
{
    switch (code) {
    case fourcc::kH264: return "libx264";
    case fourcc::kHevc: return "libx265";
    case fourcc::kMjpeg: return "mjpeg";
    case fourcc::kAac: return "aac";
    case fourcc::kUlaw: return "pcm_mulaw";
    case fourcc::kAlaw: return "pcm_alaw";
    default: return "";
    }
}

// Appends what the ADTS muxer writes for one packet.
int collect(void *opaque, uint8_t *bytes, int sizeBytes)
{
    static_cast<QByteArray *>(opaque)->append(reinterpret_cast<const char *>(bytes), sizeBytes);
    return sizeBytes;
}

// Wraps raw AAC packets into ADTS frames, one block per packet.
std::vector<Block> toAdts(const AVCodecContext *encoder, const std::vector<PacketHolder> &packets)
{
    std::vector<Block> blocks;
    QByteArray written;
    AVFormatContext *made = nullptr;
    avformat_alloc_output_context2(&made, nullptr, "adts", nullptr);
    media::FormatContextHolder muxer(made);
    const int ioSizeBytes = 4096;
    media::IoHolder io(avio_alloc_context(static_cast<uint8_t *>(av_malloc(ioSizeBytes)), ioSizeBytes, 1, &written,
                                          nullptr, collect, nullptr));
    AVStream *stream = muxer ? avformat_new_stream(muxer.get(), nullptr) : nullptr;
    if (!stream || !io)
        return blocks;
    avcodec_parameters_from_context(stream->codecpar, encoder);
    muxer->pb = io.get();
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_write_header(muxer.get(), nullptr) < 0)
        return blocks;
    avio_flush(io.get());
    written.clear();
    for (const PacketHolder &packet : packets) {
        AVPacket copy = *packet;
        copy.buf = nullptr;
        copy.stream_index = 0;
        if (av_write_frame(muxer.get(), &copy) < 0)
            return {};
        avio_flush(io.get());
        AVPacket frame = {};
        frame.data = reinterpret_cast<uint8_t *>(written.data());
        frame.size = int(written.size());
        frame.flags = AV_PKT_FLAG_KEY;
        blocks.push_back(blockOf(fourcc::kAac, frame, packet->pts * 1000 / encoder->sample_rate));
        written.clear();
    }
    av_write_trailer(muxer.get());
    return blocks;
}

void hashPlanes(const AVFrame &frame, QCryptographicHash *hash)
{
    if (frame.width > 0) {
        const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(frame.format));
        for (int plane = 0; plane < 4 && frame.data[plane]; ++plane) {
            const int rows = plane == 0 || plane == 3 ? frame.height : AV_CEIL_RSHIFT(frame.height, desc->log2_chroma_h);
            const int rowBytes = av_image_get_linesize(AVPixelFormat(frame.format), frame.width, plane);
            for (int y = 0; y < rows; ++y)
                hash->addData(QByteArrayView(frame.data[plane] + y * frame.linesize[plane], rowBytes));
        }
        return;
    }
    const auto format = AVSampleFormat(frame.format);
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? frame.ch_layout.nb_channels : 1;
    const int planeBytes =
        frame.nb_samples * av_get_bytes_per_sample(format) * (planar ? 1 : frame.ch_layout.nb_channels);
    for (int plane = 0; plane < planes; ++plane)
        hash->addData(QByteArrayView(frame.extended_data[plane], planeBytes));
}

}  // namespace

std::vector<Block> video(uint32_t code, int width, int height, int frames, int keyIntervalFrames)
{
    CodecContextHolder encoder = openEncoder(encoderName(code), [&](AVCodecContext *c) {
        c->width = width;
        c->height = height;
        c->time_base = AVRational{1, 25};
        c->framerate = AVRational{25, 1};
        c->gop_size = keyIntervalFrames;
        c->max_b_frames = 0;
        c->pix_fmt = c->codec_id == AV_CODEC_ID_MJPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
        av_opt_set(c->priv_data, "preset", "ultrafast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        av_opt_set(c->priv_data, "x265-params", "log-level=error", 0);
    });
    std::vector<Block> blocks;
    FrameHolder picture(av_frame_alloc());
    if (!encoder || !picture)
        return blocks;
    picture->format = encoder->pix_fmt;
    picture->width = width;
    picture->height = height;
    if (av_frame_get_buffer(picture.get(), 0) < 0)
        return blocks;
    std::vector<PacketHolder> packets;
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(picture.get());
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                picture->data[0][y * picture->linesize[0] + x] = uint8_t(x + y + 5 * i);
        for (int plane = 1; plane < 3; ++plane)
            for (int y = 0; y < height / 2; ++y)
                for (int x = 0; x < width / 2; ++x)
                    picture->data[plane][y * picture->linesize[plane] + x] = uint8_t(128 + plane * (x - i));
        picture->pts = i;
        encode(encoder.get(), picture.get(), &packets);
    }
    encode(encoder.get(), nullptr, &packets);
    for (const PacketHolder &packet : packets)
        blocks.push_back(blockOf(code, *packet, packet->pts * 40));
    return blocks;
}

std::vector<Block> audio(uint32_t code, int durationMs, int sampleRateHz, int channels)
{
    const bool aac = code == fourcc::kAac;
    const int rate = aac ? sampleRateHz : 8000;
    const int layoutChannels = aac ? channels : 1;
    CodecContextHolder encoder = openEncoder(encoderName(code), [&](AVCodecContext *c) {
        c->sample_rate = rate;
        c->time_base = AVRational{1, rate};
        av_channel_layout_default(&c->ch_layout, layoutChannels);
        c->sample_fmt = c->codec_id == AV_CODEC_ID_AAC ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
        c->bit_rate = 32000;
    });
    std::vector<Block> blocks;
    FrameHolder samples(av_frame_alloc());
    if (!encoder || !samples)
        return blocks;
    samples->format = encoder->sample_fmt;
    samples->nb_samples = encoder->frame_size > 0 ? encoder->frame_size : rate / 50;
    samples->sample_rate = rate;
    av_channel_layout_copy(&samples->ch_layout, &encoder->ch_layout);
    if (av_frame_get_buffer(samples.get(), 0) < 0)
        return blocks;
    std::vector<PacketHolder> packets;
    const int64_t totalSamples = int64_t(durationMs) * rate / 1000;
    for (int64_t first = 0; first < totalSamples; first += samples->nb_samples) {
        av_frame_make_writable(samples.get());
        for (int i = 0; i < samples->nb_samples; ++i) {
            const double value = 0.5 * std::sin(2 * M_PI * 440 * double(first + i) / rate);
            for (int ch = 0; ch < layoutChannels; ++ch) {
                if (aac)
                    reinterpret_cast<float *>(samples->extended_data[ch])[i] = float(value);
                else
                    reinterpret_cast<int16_t *>(samples->data[0])[i] = int16_t(value * 32767);
            }
        }
        samples->pts = first;
        encode(encoder.get(), samples.get(), &packets);
    }
    encode(encoder.get(), nullptr, &packets);
    if (aac)
        return toAdts(encoder.get(), packets);
    for (const PacketHolder &packet : packets)
        blocks.push_back(blockOf(code, *packet, packet->pts * 1000 / rate));
    return blocks;
}

QList<QByteArray> decodedFrames(const AVCodecParameters *par, const QList<QByteArray> &packets)
{
    QList<QByteArray> hashes;
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    CodecContextHolder decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    FrameHolder frame(av_frame_alloc());
    PacketHolder packet(av_packet_alloc());
    if (!decoder || !frame || !packet || avcodec_parameters_to_context(decoder.get(), par) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return {};
    for (int i = 0; i <= packets.size(); ++i) {
        const bool drain = i == packets.size();
        if (!drain && av_new_packet(packet.get(), int(packets[i].size())) < 0)
            return {};
        if (!drain)
            std::memcpy(packet->data, packets[i].constData(), size_t(packets[i].size()));
        const int sent = avcodec_send_packet(decoder.get(), drain ? nullptr : packet.get());
        av_packet_unref(packet.get());
        if (sent < 0)
            return {};
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            QCryptographicHash hash(QCryptographicHash::Md5);
            hashPlanes(*frame, &hash);
            hashes.append(hash.result());
        }
    }
    return hashes;
}

QList<QByteArray> payloads(const std::vector<Block> &blocks)
{
    QList<QByteArray> result;
    for (const Block &block : blocks)
        result.append(block.payload.mid(fourcc::kSizeBytes));
    return result;
}

ComponentRef<IAVInformer_LibavExport> informerFor(uint32_t code)
{
    return ComponentRef<IAVInformer_LibavExport>(codecs::makeFormatManager()->createInformer(code, QByteArray()));
}

ComponentRef<IAVInformer_LibavExport> describedBy(uint32_t code, const std::vector<Block> &blocks)
{
    ComponentRef<IAVInformer_LibavExport> informer = informerFor(code);
    for (const Block &block : blocks) {
        if (!informer || informer->isReady())
            break;
        if (block.key && !informer->addBlock(block.payload, true))
            return {};
    }
    return informer;
}

}  // namespace samples
