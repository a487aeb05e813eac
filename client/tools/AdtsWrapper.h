// Turns AAC packets into the ADTS frames a camera sends, through FFmpeg's
// "adts" muxer writing into a memory buffer: raw packets get a header built
// from the stream's AudioSpecificConfig; packets that already carry ADTS
// headers (no AudioSpecificConfig) pass unchanged. blockPayload makes any
// block's payload from an encoded packet, through a wrapper for AAC.
//
// One thread; owns its muxer context.
#ifndef CLIENT_TOOLS_ADTSWRAPPER_H_
#define CLIENT_TOOLS_ADTSWRAPPER_H_

#include "client/media/FFmpegHolders.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace tools {

class AdtsWrapper {
public:
    // For AAC described by a demuxed stream's `parameters` or by an opened
    // AAC `encoder`; null with *error set when the muxer refuses them (an
    // object type ADTS cannot carry, for example).
    static std::unique_ptr<AdtsWrapper> forStream(const AVCodecParameters *parameters, QString *error);
    static std::unique_ptr<AdtsWrapper> forEncoder(const AVCodecContext *encoder, QString *error);

    // Appends the ADTS frame of `packet` to *out.
    bool wrap(const AVPacket *packet, QByteArray *out, QString *error);

private:
    // `describe` fills the muxer stream's parameters.
    static std::unique_ptr<AdtsWrapper> open(const std::function<int(AVCodecParameters *)> &describe,
                                             QString *error);
    explicit AdtsWrapper(media::FormatContextHolder muxer) : _muxer(std::move(muxer)) {}

    // Opens a memory buffer as the muxer's output.
    bool openBuffer(QString *error);
    // Closes it and appends what was written to *out (when given).
    void closeBuffer(QByteArray *out);

    media::FormatContextHolder _muxer;
    int64_t _packetCount = 0;
};

// The payload of a block made from `packet`: its four-character `code`, then
// the packet's bytes.
QByteArray blockPayload(uint32_t code, const AVPacket *packet);
// The same, but with the packet as an ADTS frame when `adts` is given (AAC).
bool blockPayload(uint32_t code, const AVPacket *packet, AdtsWrapper *adts, QByteArray *payload, QString *error);

}  // namespace tools

#endif  // CLIENT_TOOLS_ADTSWRAPPER_H_
