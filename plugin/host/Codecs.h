// Client interfaces of the format manager and its codec informers, which
// describe a stream from its first key frames and turn blocks into packets.
#ifndef PLUGIN_HOST_CODECS_H_
#define PLUGIN_HOST_CODECS_H_

#include <velt/velt>

#include <QByteArray>
#include <cstdint>

struct AVFormatContext;
struct AVPacket;

class IAVInformer : public IPolymorph {
public:
    // Offers a key frame; false when the block is not valid for this codec.
    virtual bool addBlock(QByteArray block, bool key) = 0;
    // The informer knows enough to describe its stream.
    virtual bool isReady() = 0;
};

class IAVInformer_LibavExport : public virtual IAVInformer {
public:
    // Adds this informer's stream to `context` and fills its parameters.
    virtual bool fillStream(AVFormatContext *context) = 0;
    // Fills data, size and stream_index of `packet` from `block` (which starts
    // with the four-character code). Leaves data null when the block yields
    // no packet; sets *startNewFile when the block must begin a new file.
    virtual bool fillPacket(const QByteArray &block, bool key, AVPacket *packet, bool *startNewFile) = 0;
};

class IAVFormatFactory {
public:
    virtual ~IAVFormatFactory() {}
    // Empty when there is no informer for `fourcc` (little-endian).
    virtual ComponentRef<IAVInformer> createInformer(uint32_t fourcc, const QByteArray &block) = 0;
};

class IAVFormatManager : public IPolymorph, public IAVFormatFactory {};

#endif  // PLUGIN_HOST_CODECS_H_
