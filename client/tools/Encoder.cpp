#include "client/tools/Encoder.h"

namespace tools {

media::CodecContextHolder Encoder::allocate(const char *name, QString *error)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    media::CodecContextHolder context(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!context)
        *error = QStringLiteral("this FFmpeg has no %1 encoder").arg(QLatin1String(name));
    return context;
}

std::unique_ptr<Encoder> Encoder::open(media::CodecContextHolder context, const Options &options, QString *error)
{
    AVDictionary *dictionary = nullptr;
    for (const auto &option : options)
        av_dict_set(&dictionary, option.first, option.second, 0);
    std::unique_ptr<Encoder> encoder(new Encoder(std::move(context)));
    const int result = avcodec_open2(encoder->_context.get(), nullptr, &dictionary);
    av_dict_free(&dictionary);
    if (result < 0) {
        *error = encoder->failure("avcodec_open2", result);
        return nullptr;
    }
    return encoder;
}

AVFrame *Encoder::inputFrame(int audioSamples, QString *error)
{
    if (_frame) {
        const int result = av_frame_make_writable(_frame.get());
        if (result < 0) {
            *error = failure("av_frame_make_writable", result);
            return nullptr;
        }
        return _frame.get();
    }
    media::FrameHolder frame(av_frame_alloc());
    if (_context->codec_type == AVMEDIA_TYPE_VIDEO) {
        frame->format = _context->pix_fmt;
        frame->width = _context->width;
        frame->height = _context->height;
    } else {
        frame->format = _context->sample_fmt;
        frame->sample_rate = _context->sample_rate;
        frame->nb_samples = audioSamples;
        av_channel_layout_copy(&frame->ch_layout, &_context->ch_layout);
    }
    const int result = av_frame_get_buffer(frame.get(), 0);
    if (result < 0) {
        *error = failure("av_frame_get_buffer", result);
        return nullptr;
    }
    _frame = std::move(frame);
    return _frame.get();
}

bool Encoder::encode(const AVFrame *frame, std::vector<media::PacketHolder> *packets, QString *error)
{
    int result = avcodec_send_frame(_context.get(), frame);
    if (result < 0) {
        *error = failure("avcodec_send_frame", result);
        return false;
    }
    for (;;) {
        media::PacketHolder packet(av_packet_alloc());
        result = avcodec_receive_packet(_context.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0) {
            *error = failure("avcodec_receive_packet", result);
            return false;
        }
        packets->push_back(std::move(packet));
    }
}

QString Encoder::failure(const char *call, int errorCode) const
{
    return QStringLiteral("%1 encoder: %2 failed: %3")
        .arg(QLatin1String(_context->codec->name), QLatin1String(call), media::errorString(errorCode));
}

}  // namespace tools
