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
    // came out; the newest is kept for takePicture. Undecodable blocks are
    // skipped.
    bool decode(const QByteArray &payload);
    // The newest decoded picture in RGB, converted only now (a player
    // catching up decodes many pictures and shows one); false when there is
    // none or it cannot be converted.
    bool takePicture(QImage *picture);
    // Forgets the pictures in flight, before decoding from another place.
    void flush();

private:
    bool open(uint32_t code);

    uint32_t _code = 0;
    media::CodecContextHolder _context;
    media::FrameHolder _frame;   // receives each decoded picture
    media::FrameHolder _newest;  // the newest one not yet taken
    SwsContext *_scaler = nullptr;
};

}  // namespace clientapp

#endif  // CLIENT_APP_VIDEODECODER_H_
