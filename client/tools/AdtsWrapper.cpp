#include "client/tools/AdtsWrapper.h"

#include "client/media/FourCC.h"

namespace tools {

std::unique_ptr<AdtsWrapper> AdtsWrapper::forStream(const AVCodecParameters *parameters, QString *error)
{
    return open([parameters](AVCodecParameters *out) { return avcodec_parameters_copy(out, parameters); }, error);
}

std::unique_ptr<AdtsWrapper> AdtsWrapper::forEncoder(const AVCodecContext *encoder, QString *error)
{
    return open([encoder](AVCodecParameters *out) { return avcodec_parameters_from_context(out, encoder); }, error);
}

std::unique_ptr<AdtsWrapper> AdtsWrapper::open(const std::function<int(AVCodecParameters *)> &describe,
                                               QString *error)
{
    AVFormatContext *context = nullptr;
    int result = avformat_alloc_output_context2(&context, nullptr, "adts", nullptr);
    if (result < 0) {
        *error = QStringLiteral("adts muxer: avformat_alloc_output_context2 failed: %1").arg(media::errorString(result));
        return nullptr;
    }
    // The buffers this wrapper opens are its own; the holder must not close them.
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    std::unique_ptr<AdtsWrapper> wrapper(new AdtsWrapper(media::FormatContextHolder(context)));
    AVStream *stream = avformat_new_stream(context, nullptr);
    result = stream ? describe(stream->codecpar) : AVERROR(ENOMEM);
    if (result < 0) {
        *error = QStringLiteral("adts muxer: cannot add the stream: %1").arg(media::errorString(result));
        return nullptr;
    }
    stream->time_base = AVRational{1, stream->codecpar->sample_rate > 0 ? stream->codecpar->sample_rate : 1};
    if (!wrapper->openBuffer(error))
        return nullptr;
    result = avformat_write_header(context, nullptr);
    wrapper->closeBuffer(nullptr);
    if (result < 0) {
        *error = QStringLiteral("adts muxer: avformat_write_header failed: %1").arg(media::errorString(result));
        return nullptr;
    }
    return wrapper;
}

bool AdtsWrapper::wrap(const AVPacket *packet, QByteArray *out, QString *error)
{
    media::PacketHolder copy(av_packet_clone(packet));
    if (!copy) {
        *error = QStringLiteral("adts muxer: cannot copy a packet");
        return false;
    }
    // The muxer wants increasing timestamps; the block's time is kept
    // elsewhere, so a packet counter serves.
    copy->stream_index = 0;
    copy->pts = copy->dts = _packetCount++;
    copy->duration = 0;
    if (!openBuffer(error))
        return false;
    const int result = av_write_frame(_muxer.get(), copy.get());
    closeBuffer(out);
    if (result < 0) {
        *error = QStringLiteral("adts muxer: av_write_frame failed: %1").arg(media::errorString(result));
        return false;
    }
    return true;
}

QByteArray blockPayload(uint32_t code, const AVPacket *packet)
{
    return fourcc::bytes(code).append(reinterpret_cast<const char *>(packet->data), packet->size);
}

bool blockPayload(uint32_t code, const AVPacket *packet, AdtsWrapper *adts, QByteArray *payload, QString *error)
{
    if (!adts) {
        *payload = blockPayload(code, packet);
        return true;
    }
    *payload = fourcc::bytes(code);
    return adts->wrap(packet, payload, error);
}

bool AdtsWrapper::openBuffer(QString *error)
{
    const int result = avio_open_dyn_buf(&_muxer->pb);
    if (result < 0) {
        *error = QStringLiteral("adts muxer: avio_open_dyn_buf failed: %1").arg(media::errorString(result));
        return false;
    }
    return true;
}

void AdtsWrapper::closeBuffer(QByteArray *out)
{
    uint8_t *bytes = nullptr;
    const int size = avio_close_dyn_buf(_muxer->pb, &bytes);
    _muxer->pb = nullptr;
    if (out && size > 0)
        out->append(reinterpret_cast<const char *>(bytes), size);
    av_free(bytes);
}

}  // namespace tools
