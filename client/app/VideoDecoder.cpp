#include "client/app/VideoDecoder.h"

#include "client/media/FourCC.h"

#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace clientapp {

namespace {

AVCodecID codecOf(uint32_t code)
{
    switch (code) {
    case fourcc::kH264:
        return AV_CODEC_ID_H264;
    case fourcc::kHevc:
        return AV_CODEC_ID_HEVC;
    case fourcc::kMjpeg:
        return AV_CODEC_ID_MJPEG;
    default:
        return AV_CODEC_ID_NONE;
    }
}

}  // namespace

VideoDecoder::VideoDecoder() : _packet(av_packet_alloc()), _frame(av_frame_alloc()) {}

VideoDecoder::~VideoDecoder() { sws_freeContext(_scaler); }

bool VideoDecoder::open(uint32_t code)
{
    _context.reset();
    _code = code;
    const AVCodec *codec = avcodec_find_decoder(codecOf(code));
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
}

bool VideoDecoder::decode(const QByteArray &payload, QImage *picture)
{
    const uint32_t code = fourcc::of(payload);
    if (code == 0)
        return false;
    if ((code != _code || !_context) && !open(code))
        return false;
    const int size = int(payload.size()) - fourcc::kSizeBytes;
    if (size <= 0 || av_new_packet(_packet.get(), size) < 0)
        return false;
    std::memcpy(_packet->data, payload.constData() + fourcc::kSizeBytes, size_t(size));
    const int sent = avcodec_send_packet(_context.get(), _packet.get());
    av_packet_unref(_packet.get());
    if (sent < 0)
        return false;
    bool produced = false;
    while (avcodec_receive_frame(_context.get(), _frame.get()) == 0) {
        produced = convert(_frame.get(), picture) || produced;
        av_frame_unref(_frame.get());
    }
    return produced;
}

bool VideoDecoder::convert(const AVFrame *frame, QImage *picture)
{
    _scaler = sws_getCachedContext(_scaler, frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                   frame->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!_scaler)
        return false;
    QImage rgb(frame->width, frame->height, QImage::Format_RGB888);
    if (rgb.isNull())
        return false;
    uint8_t *planes[4] = {rgb.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(rgb.bytesPerLine()), 0, 0, 0};
    sws_scale(_scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    *picture = rgb;
    return true;
}

}  // namespace clientapp
