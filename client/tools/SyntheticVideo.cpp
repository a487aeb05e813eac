#include "client/tools/SyntheticVideo.h"

#include "client/archive/Recorder.h"
#include "client/tools/AdtsWrapper.h"
#include "client/media/FourCC.h"

#include <QByteArray>
#include <climits>

namespace tools {

namespace {

struct CodecSetup {
    const char *encoder;
    uint32_t fourcc;
    AVPixelFormat pixelFormat;
    Encoder::Options options;
};

CodecSetup setupFor(SyntheticVideo::Codec codec)
{
    switch (codec) {
    case SyntheticVideo::Codec::H264:
        return {"libx264", fourcc::kH264, AV_PIX_FMT_YUV420P,
                {{"preset", "ultrafast"}, {"tune", "zerolatency"}, {"x264-params", "repeat-headers=1:scenecut=0"}}};
    case SyntheticVideo::Codec::Hevc:
        return {"libx265", fourcc::kHevc, AV_PIX_FMT_YUV420P,
                {{"preset", "ultrafast"},
                 {"tune", "zerolatency"},
                 {"x265-params", "repeat-headers=1:bframes=0:scenecut=0:open-gop=0:log-level=error"}}};
    case SyntheticVideo::Codec::Mjpeg:
        break;
    }
    // JPEG is full range: the J format tells the encoder so.
    return {"mjpeg", fourcc::kMjpeg, AV_PIX_FMT_YUVJ420P, {}};
}

// Fixed JPEG quality: 2 (best) to 31.
constexpr int kMjpegQuality = 5;

}  // namespace

SyntheticVideo::SyntheticVideo(const Settings &settings, int64_t startMs, int64_t durationMs)
    : _settings(settings),
      _startMs(startMs),
      _pictureCount(unitsWithin(durationMs, settings.fps.den, settings.fps.num)),
      _fourcc(setupFor(settings.codec).fourcc),
      _picture(settings.width, settings.height)
{
}

std::unique_ptr<SyntheticVideo> SyntheticVideo::open(const Settings &settings, int64_t startMs, int64_t durationMs,
                                                     QString *error)
{
    const CodecSetup setup = setupFor(settings.codec);
    media::CodecContextHolder context = Encoder::allocate(setup.encoder, error);
    if (!context)
        return nullptr;
    context->width = settings.width;
    context->height = settings.height;
    context->pix_fmt = setup.pixelFormat;
    context->time_base = av_inv_q(settings.fps);
    context->framerate = settings.fps;
    context->gop_size = settings.gopFrames;
    context->keyint_min = settings.gopFrames;
    context->max_b_frames = 0;
    context->thread_count = 0;
    if (settings.codec == Codec::Mjpeg) {
        context->flags |= AV_CODEC_FLAG_QSCALE;
        context->global_quality = kMjpegQuality * FF_QP2LAMBDA;
    }

    std::unique_ptr<SyntheticVideo> video(new SyntheticVideo(settings, startMs, durationMs));
    video->_encoder = Encoder::open(std::move(context), setup.options, error);
    if (!video->_encoder)
        return nullptr;
    return video;
}

int64_t SyntheticVideo::pictureTimeMs(int64_t picture) const
{
    // Picture i is sample i*den of a stream of num samples a second.
    return sampleTimeMs(_startMs, picture * _settings.fps.den, _settings.fps.num);
}

uint8_t SyntheticVideo::streamNumber() const
{
    return archive::kVideoStream;
}

int64_t SyntheticVideo::nextInputTimeMs() const
{
    return _nextPicture < _pictureCount ? pictureTimeMs(_nextPicture) : INT64_MAX;
}

bool SyntheticVideo::step(std::vector<Block> *blocks, QString *error)
{
    AVFrame *frame = _encoder->inputFrame(0, error);
    if (!frame)
        return false;
    _picture.draw(frame, _nextPicture, nextInputTimeMs());
    frame->pts = _nextPicture;
    frame->quality = _encoder->context()->global_quality;
    ++_nextPicture;
    return encode(frame, blocks, error);
}

bool SyntheticVideo::toBlocks(const std::vector<media::PacketHolder> &packets, std::vector<Block> *blocks, QString *)
{
    for (const media::PacketHolder &packet : packets)
        blocks->push_back(Block{archive::kVideoStream, pictureTimeMs(packet->pts),
                                (packet->flags & AV_PKT_FLAG_KEY) != 0, blockPayload(_fourcc, packet.get())});
    return true;
}

}  // namespace tools
