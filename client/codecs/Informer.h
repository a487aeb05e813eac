// The common part of the stand-in client's codec informers: one informer
// describes one stream of one four-character code from its first blocks,
// adds that stream to a Matroska context and turns every later block into
// a packet, asking for a new file when a block no longer fits the stream
// (another code, or a key frame with other parameters).
//
// A codec's informer derives from Informer and says what a block teaches
// (describe), what a key frame's parameters are (signatureOf) and, when the
// bytes must change on their way into the file, how to pack them (pack).
//
// Threads: an informer is used by one thread at a time (the export's worker
// thread); it owns its FFmpeg helpers. Its owner is the counted reference
// that createInformer hands out.
#ifndef CLIENT_CODECS_INFORMER_H_
#define CLIENT_CODECS_INFORMER_H_

#include "plugin/host/Codecs.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>

namespace codecs {

// Everything a Matroska stream needs to know of its codec.
struct StreamParams {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codecId = AV_CODEC_ID_NONE;
    int width = 0;
    int height = 0;
    int sampleRateHz = 0;
    int channels = 0;
    int64_t bitRateBps = 0;
    int blockAlignBytes = 0;
    QByteArray extradata;
};

// The parameters of a key frame that one file cannot change: resolution and
// the codec's configuration (parameter sets, AudioSpecificConfig).
struct Signature {
    int width = 0;
    int height = 0;
    QByteArray config;

    bool operator==(const Signature &other) const
    {
        return width == other.width && height == other.height && config == other.config;
    }
    bool operator!=(const Signature &other) const { return !(*this == other); }
};

class Informer : public IAVInformer_LibavExport {
public:
    bool addBlock(QByteArray block, bool key) override;
    bool isReady() override;
    bool fillStream(AVFormatContext *context) override;
    bool fillPacket(const QByteArray &block, bool key, AVPacket *packet, bool *startNewFile) override;

protected:
    explicit Informer(uint32_t code);

    enum class Learned {
        Invalid,    // the bytes are not valid for this codec
        Nothing,    // valid as far as can be seen, but they describe nothing
        Described,  // *params and *signature are filled
    };
    // Learns the stream from the encoded bytes of one block (code removed).
    virtual Learned describe(QByteArrayView payload, bool key, StreamParams *params, Signature *signature) = 0;
    // The signature of a key frame; false when the frame does not tell it,
    // which counts as unchanged.
    virtual bool signatureOf(QByteArrayView payload, Signature *signature);
    // Fills data and size of the blank `packet` with the encoded bytes of
    // `block` (past the code), as the file stores them. The default refers
    // to them unchanged.
    virtual bool pack(const QByteArray &block, AVPacket *packet);

    const char *codeName() const { return _codeName; }

private:
    const uint32_t _code;
    char _codeName[5];
    bool _ready = false;
    StreamParams _params;
    Signature _signature;
    int _streamIndex = -1;  // in the context of the last fillStream
};

}  // namespace codecs

#endif  // CLIENT_CODECS_INFORMER_H_
