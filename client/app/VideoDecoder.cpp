#include "client/app/VideoDecoder.h"

#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace clientapp {

VideoDecoder::VideoDecoder() : _frame(av_frame_alloc()), _newest(av_frame_alloc()) {}

VideoDecoder::~VideoDecoder() { sws_freeContext(_scaler); }

bool VideoDecoder::open(uint32_t code)
{
    _context.reset();
    _code = code;
    const AVCodec *codec = avcodec_find_decoder(codecs::codecIdOf(code));
    if (!codec)
        return false;
    _context.reset(avcodec_alloc_context3(codec));
    if (!_context)
        return false;
    // Slice threads only: frame threads would hold pictures back by one
    // frame per thread, and the player shows each picture when it is due.
    _context->thread_type = FF_THREAD_SLICE;
    _context->thread_count = 0;
    if (avcodec_open2(_context.get(), codec, nullptr) < 0) {
        _context.reset();
        return false;
    }
    return true;
}

void VideoDecoder::flush()
{
    if (_context)
        avcodec_flush_buffers(_context.get());
    av_frame_unref(_newest.get());
}

bool VideoDecoder::decode(const QByteArray &payload)
{
    const uint32_t code = fourcc::of(payload);
    if (code == 0 || payload.size() <= fourcc::kSizeBytes)
        return false;
    if ((code != _code || !_context) && !open(code))
        return false;
    // Decoders may read past the end: a padded copy.
    const media::PacketHolder packet = codecs::paddedCopy(QByteArrayView(payload).sliced(fourcc::kSizeBytes));
    if (!packet || avcodec_send_packet(_context.get(), packet.get()) < 0)
        return false;
    bool produced = false;
    while (avcodec_receive_frame(_context.get(), _frame.get()) == 0) {
        av_frame_unref(_newest.get());
        av_frame_move_ref(_newest.get(), _frame.get());
        produced = true;
    }
    return produced;
}

bool VideoDecoder::takePicture(QImage *picture)
{
    const AVFrame *frame = _newest.get();
    if (!frame->data[0])
        return false;
    _scaler = sws_getCachedContext(_scaler, frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    QImage rgb(frame->width, frame->height, QImage::Format_RGB888);
    const bool converted = _scaler && !rgb.isNull();
    if (converted) {
        uint8_t *planes[4] = {rgb.bits(), nullptr, nullptr, nullptr};
        const int strides[4] = {int(rgb.bytesPerLine()), 0, 0, 0};
        sws_scale(_scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
        *picture = rgb;
    }
    av_frame_unref(_newest.get());
    return converted;
}

}  // namespace clientapp
