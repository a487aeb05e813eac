#include "client/codecs/Libav.h"

#include "client/media/FourCC.h"

#include <QDebug>
#include <cstring>

namespace codecs {

namespace {

void releaseBlock(void *opaque, uint8_t *)
{
    delete static_cast<QByteArray *>(opaque);
}

}  // namespace

AVCodecID codecIdOf(uint32_t code)
{
    switch (code) {
    case fourcc::kH264:
        return AV_CODEC_ID_H264;
    case fourcc::kHevc:
        return AV_CODEC_ID_HEVC;
    case fourcc::kMjpeg:
        return AV_CODEC_ID_MJPEG;
    case fourcc::kAac:
        return AV_CODEC_ID_AAC;
    case fourcc::kUlaw:
        return AV_CODEC_ID_PCM_MULAW;
    case fourcc::kAlaw:
        return AV_CODEC_ID_PCM_ALAW;
    default:
        return AV_CODEC_ID_NONE;
    }
}

media::PacketHolder paddedCopy(QByteArrayView bytes)
{
    media::PacketHolder packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), int(bytes.size())) < 0)
        return nullptr;
    if (!bytes.isEmpty())
        std::memcpy(packet->data, bytes.data(), size_t(bytes.size()));
    return packet;
}

bool referenceBytes(const QByteArray &block, int offsetBytes, AVPacket *packet)
{
    const QByteArrayView payload = QByteArrayView(block).sliced(offsetBytes);
    if (payload.size() < AV_INPUT_BUFFER_PADDING_SIZE) {
        media::PacketHolder copy = paddedCopy(payload);
        if (!copy)
            return false;
        av_packet_move_ref(packet, copy.get());
        return true;
    }
    auto *held = new QByteArray(block);
    auto *bytes = reinterpret_cast<uint8_t *>(const_cast<char *>(held->constData()));
    packet->buf = av_buffer_create(bytes, size_t(held->size()), releaseBlock, held, AV_BUFFER_FLAG_READONLY);
    if (!packet->buf) {
        delete held;
        return false;
    }
    packet->data = bytes + offsetBytes;
    packet->size = int(payload.size());
    return true;
}

}  // namespace codecs

namespace codecs {

media::BsfHolder makeFilter(const char *name, AVCodecID codecId)
{
    const AVBitStreamFilter *kind = av_bsf_get_by_name(name);
    if (!kind) {
        qWarning() << "codec informer: FFmpeg has no filter" << name;
        return nullptr;
    }
    AVBSFContext *made = nullptr;
    int result = av_bsf_alloc(kind, &made);
    media::BsfHolder filter(made);
    if (result >= 0) {
        filter->par_in->codec_id = codecId;
        result = av_bsf_init(filter.get());
    }
    if (result < 0) {
        qWarning() << "codec informer: filter" << name << "cannot start:" << media::errorString(result);
        return nullptr;
    }
    return filter;
}

bool filterPacket(AVBSFContext *filter, AVPacket *packet)
{
    int result = av_bsf_send_packet(filter, packet);
    if (result >= 0)
        result = av_bsf_receive_packet(filter, packet);
    if (result < 0) {
        av_packet_unref(packet);
        av_bsf_flush(filter);
        qWarning() << "codec informer: filter" << filter->filter->name << "refused a packet:"
                   << media::errorString(result);
        return false;
    }
    return true;
}

media::CodecContextHolder openDecoder(AVCodecID codecId, QByteArrayView extradata)
{
    const AVCodec *codec = avcodec_find_decoder(codecId);
    media::CodecContextHolder decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!decoder) {
        qWarning() << "codec informer: no decoder for" << avcodec_get_name(codecId);
        return nullptr;
    }
    if (!extradata.isEmpty()) {
        decoder->extradata = static_cast<uint8_t *>(
            av_mallocz(size_t(extradata.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!decoder->extradata)
            return nullptr;
        std::memcpy(decoder->extradata, extradata.data(), size_t(extradata.size()));
        decoder->extradata_size = int(extradata.size());
    }
    const int result = avcodec_open2(decoder.get(), codec, nullptr);
    if (result < 0) {
        qWarning() << "codec informer: decoder" << codec->name << "cannot open:" << media::errorString(result);
        return nullptr;
    }
    return decoder;
}

bool decodeOne(AVCodecContext *decoder, const AVPacket *packet, AVFrame *frame)
{
    int result = avcodec_send_packet(decoder, packet);
    if (result >= 0)
        result = avcodec_send_packet(decoder, nullptr);
    if (result >= 0)
        result = avcodec_receive_frame(decoder, frame);
    if (result < 0) {
        qWarning() << "codec informer: decoder" << decoder->codec->name << "gave no frame:"
                   << media::errorString(result);
        return false;
    }
    return true;
}

}  // namespace codecs
