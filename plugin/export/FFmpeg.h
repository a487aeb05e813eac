// Owning holders for the libavformat objects of the export engine, each
// with its release call.
#ifndef PLUGIN_EXPORT_FFMPEG_H_
#define PLUGIN_EXPORT_FFMPEG_H_

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <QString>
#include <memory>

namespace ffmpeg {

// An output context: closes its I/O context, if open, and frees it.
struct OutputContextDeleter {
    void operator()(AVFormatContext *context) const
    {
        if (!context)
            return;
        avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
using OutputContext = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

// A packet that is unreferenced when it goes out of scope.
class ScopedPacket {
public:
    ScopedPacket()
    {
        packet.pts = AV_NOPTS_VALUE;
        packet.dts = AV_NOPTS_VALUE;
        packet.pos = -1;
    }
    ~ScopedPacket() { av_packet_unref(&packet); }
    ScopedPacket(const ScopedPacket &) = delete;
    ScopedPacket &operator=(const ScopedPacket &) = delete;

    AVPacket packet{};
};

inline QString errorText(int code)
{
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

}  // namespace ffmpeg

#endif  // PLUGIN_EXPORT_FFMPEG_H_
