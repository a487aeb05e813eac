// One opened libavcodec encoder: frames in, packets out, with FFmpeg's
// errors turned into messages that name the encoder. The caller sets the
// codec context up (size, rate, format) before handing it over.
//
// One thread; the encoder owns its codec context and its input frame.
#ifndef CLIENT_TOOLS_ENCODER_H_
#define CLIENT_TOOLS_ENCODER_H_

#include "client/media/FFmpegHolders.h"

#include <QString>
#include <memory>
#include <utility>
#include <vector>

namespace tools {

class Encoder {
public:
    using Options = std::vector<std::pair<const char *, const char *>>;

    // A context for the encoder called `name`; null with *error set when
    // FFmpeg lacks it.
    static media::CodecContextHolder allocate(const char *name, QString *error);
    // Opens `context` with the encoder's private `options`.
    static std::unique_ptr<Encoder> open(media::CodecContextHolder context, const Options &options, QString *error);

    AVCodecContext *context() const { return _context.get(); }

    // The frame to fill with the next input, in the opened context's format
    // (holding `audioSamples` samples for audio): made on first use, made
    // writable again on every later call. Null with *error set on failure.
    AVFrame *inputFrame(int audioSamples, QString *error);

    // Encodes `frame` (null: drains the encoder) and appends every packet
    // that became ready.
    bool encode(const AVFrame *frame, std::vector<media::PacketHolder> *packets, QString *error);

private:
    explicit Encoder(media::CodecContextHolder context) : _context(std::move(context)) {}

    QString failure(const char *call, int errorCode) const;

    media::CodecContextHolder _context;
    media::FrameHolder _frame;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_ENCODER_H_
