#include "client/codecs/VideoInformers.h"

#include "client/codecs/LengthPrefixed.h"
#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"

#include <QDebug>

namespace codecs {

AnnexBInformer::AnnexBInformer(uint32_t code, AVCodecID codecId)
    : Informer(code),
      _codecId(codecId),
      _parserContext(avcodec_alloc_context3(nullptr)),
      _parser(av_parser_init(codecId)),
      _extractor(makeFilter("extract_extradata", codecId))
{
    if (_parser)
        _parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    else
        qWarning() << "codec informer" << codeName() << ": FFmpeg has no parser for it";
    if (_parserContext) {
        _parserContext->codec_type = AVMEDIA_TYPE_VIDEO;
        _parserContext->codec_id = codecId;
    }
}

Informer::Learned AnnexBInformer::describe(QByteArrayView payload, bool key, StreamParams *params,
                                           Signature *signature)
{
    if (!signatureOf(payload, signature))
        return key ? Learned::Invalid : Learned::Nothing;
    params->type = AVMEDIA_TYPE_VIDEO;
    params->codecId = _codecId;
    params->width = signature->width;
    params->height = signature->height;
    // HEVC stays Annex B, for the muxer to rewrite: libavformat 5.1's hvcC
    // writer reads an SPS's long-term reference count without a bound and
    // spins for billions of steps on a damaged one, which here would stall
    // describing the stream rather than only a file's header.
    if (_codecId == AV_CODEC_ID_H264)
        params->extradata = lengthPrefixedConfig(_codecId, signature->width, signature->height, signature->config);
    _lengthPrefixed = !params->extradata.isEmpty();
    if (!_lengthPrefixed)
        params->extradata = signature->config;
    return Learned::Described;
}

bool AnnexBInformer::pack(const QByteArray &block, AVPacket *packet)
{
    if (!_lengthPrefixed)
        return Informer::pack(block, packet);
    return packLengthPrefixed(QByteArrayView(block).sliced(fourcc::kSizeBytes), packet);
}

bool AnnexBInformer::signatureOf(QByteArrayView payload, Signature *signature)
{
    if (!_parser || !_parserContext || !_extractor)
        return false;
    media::PacketHolder packet = paddedCopy(payload);
    if (!packet)
        return false;
    // The parser reports a size only for a slice it could parse.
    _parser->width = 0;
    _parser->height = 0;
    uint8_t *frame = nullptr;
    int frameSizeBytes = 0;
    av_parser_parse2(_parser.get(), _parserContext.get(), &frame, &frameSizeBytes, packet->data, packet->size,
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (_parser->width <= 0 || _parser->height <= 0)
        return false;
    if (!filterPacket(_extractor.get(), packet.get()))
        return false;
    size_t configSizeBytes = 0;
    const uint8_t *config = av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &configSizeBytes);
    if (!config || configSizeBytes == 0)
        return false;
    signature->width = _parser->width;
    signature->height = _parser->height;
    signature->config = withoutTrailingZeros(QByteArrayView(config, qsizetype(configSizeBytes)));
    return true;
}

MjpegInformer::MjpegInformer(uint32_t code) : Informer(code)
{
    _headerReader = openDecoder(AV_CODEC_ID_MJPEG);
    if (_headerReader)
        _headerReader->skip_frame = AVDISCARD_ALL;
}

Informer::Learned MjpegInformer::describe(QByteArrayView payload, bool, StreamParams *params, Signature *signature)
{
    media::PacketHolder packet = paddedCopy(payload);
    media::CodecContextHolder decoder = openDecoder(AV_CODEC_ID_MJPEG);
    media::FrameHolder picture(av_frame_alloc());
    if (!packet || !decoder || !picture || !decodeOne(decoder.get(), packet.get(), picture.get()))
        return Learned::Invalid;
    params->type = AVMEDIA_TYPE_VIDEO;
    params->codecId = AV_CODEC_ID_MJPEG;
    params->width = picture->width;
    params->height = picture->height;
    signature->width = picture->width;
    signature->height = picture->height;
    return Learned::Described;
}

bool MjpegInformer::signatureOf(QByteArrayView payload, Signature *signature)
{
    if (!_headerReader)
        return false;
    media::PacketHolder packet = paddedCopy(payload);
    if (!packet)
        return false;
    // With every picture skipped the decoder still reads the frame header
    // and publishes the size when it changes; it never returns a picture.
    // A picture whose header cannot be read leaves the last size in place.
    const int result = avcodec_send_packet(_headerReader.get(), packet.get());
    media::FrameHolder picture(av_frame_alloc());
    if (result >= 0 && picture)
        avcodec_receive_frame(_headerReader.get(), picture.get());
    signature->width = _headerReader->width;
    signature->height = _headerReader->height;
    return signature->width > 0 && signature->height > 0;
}

}  // namespace codecs
