#include "client/codecs/Informer.h"

#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <QDebug>
#include <cstring>

namespace codecs {

Informer::Informer(uint32_t code) : _code(code)
{
    std::memcpy(_codeName, fourcc::bytes(code).constData(), 4);
    _codeName[4] = '\0';
}

bool Informer::addBlock(QByteArray block, bool key)
{
    if (fourcc::of(block) != _code) {
        qWarning() << "codec informer" << _codeName << ": block of another code or too short";
        return false;
    }
    if (block.size() == fourcc::kSizeBytes)
        return false;
    if (_ready)
        return true;
    StreamParams params;
    Signature signature;
    switch (describe(QByteArrayView(block).sliced(fourcc::kSizeBytes), key, &params, &signature)) {
    case Learned::Invalid:
        qWarning() << "codec informer" << _codeName << ": block cannot be decoded";
        return false;
    case Learned::Nothing:
        return true;
    case Learned::Described:
        break;
    }
    _params = params;
    _signature = signature;
    _ready = true;
    return true;
}

bool Informer::isReady()
{
    return _ready;
}

bool Informer::fillStream(AVFormatContext *context)
{
    if (!_ready || !context)
        return false;
    AVStream *stream = avformat_new_stream(context, nullptr);
    if (!stream) {
        qWarning() << "codec informer" << _codeName << ": no stream could be added";
        return false;
    }
    AVCodecParameters *par = stream->codecpar;
    par->codec_type = _params.type;
    par->codec_id = _params.codecId;
    par->width = _params.width;
    par->height = _params.height;
    par->sample_rate = _params.sampleRateHz;
    if (_params.channels > 0)
        av_channel_layout_default(&par->ch_layout, _params.channels);
    par->bit_rate = _params.bitRateBps;
    par->block_align = _params.blockAlignBytes;
    if (!_params.extradata.isEmpty()) {
        const int sizeBytes = int(_params.extradata.size());
        par->extradata = static_cast<uint8_t *>(av_mallocz(size_t(sizeBytes) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata)
            return false;
        std::memcpy(par->extradata, _params.extradata.constData(), size_t(sizeBytes));
        par->extradata_size = sizeBytes;
    }
    _streamIndex = stream->index;
    return true;
}

bool Informer::fillPacket(const QByteArray &block, bool key, AVPacket *packet, bool *startNewFile)
{
    if (startNewFile)
        *startNewFile = false;
    if (!packet || block.size() < fourcc::kSizeBytes)
        return false;
    if (fourcc::of(block) != _code) {
        if (startNewFile)
            *startNewFile = true;
        return true;
    }
    if (_streamIndex < 0 || block.size() == fourcc::kSizeBytes)
        return false;
    if (key) {
        Signature signature;
        if (signatureOf(QByteArrayView(block).sliced(fourcc::kSizeBytes), &signature) && signature != _signature) {
            if (startNewFile)
                *startNewFile = true;
            return true;
        }
    }
    if (!pack(block, packet))
        return false;
    packet->stream_index = _streamIndex;
    return true;
}

bool Informer::signatureOf(QByteArrayView, Signature *)
{
    return false;
}

bool Informer::pack(const QByteArray &block, AVPacket *packet)
{
    return referenceBytes(block, fourcc::kSizeBytes, packet);
}

}  // namespace codecs
