// VideoDecoder: turns the archive's encoded video blocks (H.264 or HEVC
// access units, MJPEG pictures) into RGB pictures with libavcodec and
// libswscale, for the client's video frame. A change of the block's
// four-character code opens a new decoder.
//
// Used by one thread (the GUI thread's player). Owns its FFmpeg contexts.
#ifndef CLIENT_APP_VIDEODECODER_H_
#define CLIENT_APP_VIDEODECODER_H_

#include "client/media/FFmpegHolders.h"

#include <QByteArray>
#include <QImage>
#include <cstdint>

struct SwsContext;

namespace clientapp {

class VideoDecoder {
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder &) = delete;
    VideoDecoder &operator=(const VideoDecoder &) = delete;

    // `payload` starts with the four-character code. True when a picture
    // came out; it is then in *picture. Undecodable blocks are skipped.
    bool decode(const QByteArray &payload, QImage *picture);
    // Forgets the pictures in flight, before decoding from another place.
    void flush();

private:
    bool open(uint32_t code);
    bool convert(const AVFrame *frame, QImage *picture);

    uint32_t _code = 0;
    media::CodecContextHolder _context;
    media::PacketHolder _packet;
    media::FrameHolder _frame;
    SwsContext *_scaler = nullptr;
};

}  // namespace clientapp

#endif  // CLIENT_APP_VIDEODECODER_H_
