#include "plugin/export/ParameterSets.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <memory>

namespace parametersets {

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};

}  // namespace

bool usable(const AVCodecParameters *parameters)
{
    if (parameters->codec_id != AV_CODEC_ID_H264 && parameters->codec_id != AV_CODEC_ID_HEVC)
        return true;
    if (parameters->extradata_size <= 0)
        return true;  // nothing the muxer would read
    const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder)
        return false;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> context(avcodec_alloc_context3(decoder));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0)
        return false;
    // Opening the decoder reads the codec data's parameter sets; with
    // AV_EF_EXPLODE a set it cannot read fails the opening rather than
    // being skipped with a warning. One thread: nothing is decoded.
    context->err_recognition = AV_EF_EXPLODE;
    context->thread_count = 1;
    return avcodec_open2(context.get(), decoder, nullptr) >= 0;
}

}  // namespace parametersets
