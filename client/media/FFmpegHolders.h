// Owning holders for the FFmpeg objects that the stand-in client's code
// makes (codec informers, tools, tests): std::unique_ptr with a deleter that
// calls the object's release function, so that every early return frees
// what was made. Plus errorString(), the C++ stand-in for av_err2str (whose
// compound literal is C only).
//
// A holder owns its object alone and is used by one thread at a time, like
// the object itself. Holders of format contexts also close the I/O context
// the format opened itself (not a custom one, which its maker owns);
// IoHolder is for contexts made by avio_alloc_context, whose buffer it frees.
#ifndef CLIENT_MEDIA_FFMPEGHOLDERS_H_
#define CLIENT_MEDIA_FFMPEGHOLDERS_H_

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include <QString>
#include <memory>

namespace media {

struct FFmpegDeleter {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
    void operator()(AVCodecParameters *par) const { avcodec_parameters_free(&par); }
    void operator()(AVBSFContext *filter) const { av_bsf_free(&filter); }
    void operator()(AVCodecParserContext *parser) const { av_parser_close(parser); }
    void operator()(AVIOContext *io) const
    {
        if (io)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }
    void operator()(AVFormatContext *context) const
    {
        if (!context)
            return;
        if (context->iformat) {
            avformat_close_input(&context);
            return;
        }
        const bool ownIo = context->oformat && !(context->oformat->flags & AVFMT_NOFILE) &&
                           !(context->flags & AVFMT_FLAG_CUSTOM_IO);
        if (ownIo)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

using PacketHolder = std::unique_ptr<AVPacket, FFmpegDeleter>;
using FrameHolder = std::unique_ptr<AVFrame, FFmpegDeleter>;
using CodecContextHolder = std::unique_ptr<AVCodecContext, FFmpegDeleter>;
using CodecParametersHolder = std::unique_ptr<AVCodecParameters, FFmpegDeleter>;
using BsfHolder = std::unique_ptr<AVBSFContext, FFmpegDeleter>;
using ParserHolder = std::unique_ptr<AVCodecParserContext, FFmpegDeleter>;
using IoHolder = std::unique_ptr<AVIOContext, FFmpegDeleter>;
using FormatContextHolder = std::unique_ptr<AVFormatContext, FFmpegDeleter>;

// The text of an FFmpeg error code (a negative AVERROR value).
inline QString errorString(int errorCode)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_make_error_string(text, sizeof text, errorCode);
    return QString::fromUtf8(text);
}

}  // namespace media

#endif  // CLIENT_MEDIA_FFMPEGHOLDERS_H_
