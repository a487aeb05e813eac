// Informers of the video codecs: H.264 and HEVC (Annex-B access units) and
// MJPEG (one JPEG picture per block). See Informer.h for the contract.
//
// H.264/HEVC learn the parameter sets (VPS/SPS/PPS, Annex-B, through the
// extract_extradata filter) and the picture size (through FFmpeg's parser)
// from a key frame; a key frame without parameter sets is invalid, since
// the archive stores them with every key frame. H.264 is handed over as
// Matroska stores it, length-prefixed (LengthPrefixed.h); HEVC as recorded. MJPEG decodes its first
// picture for its size, and reads only the headers of later pictures.
//
// One thread at a time; each informer owns its parser, filter and decoder.
#ifndef CLIENT_CODECS_VIDEOINFORMERS_H_
#define CLIENT_CODECS_VIDEOINFORMERS_H_

#include "client/codecs/Informer.h"
#include "client/media/FFmpegHolders.h"

namespace codecs {

class AnnexBInformer : public Informer {
public:
    AnnexBInformer(uint32_t code, AVCodecID codecId);

protected:
    Learned describe(QByteArrayView payload, bool key, StreamParams *params, Signature *signature) override;
    bool signatureOf(QByteArrayView payload, Signature *signature) override;
    bool pack(const QByteArray &block, AVPacket *packet) override;

private:
    const AVCodecID _codecId;
    // The stream is handed over length-prefixed, with an avcC/hvcC record
    // (LengthPrefixed.h); false when the muxer made no record of the
    // parameter sets, and it gets Annex B as stored.
    bool _lengthPrefixed = false;
    media::CodecContextHolder _parserContext;  // what the parser reports into
    media::ParserHolder _parser;               // keeps the last SPS between key frames
    media::BsfHolder _extractor;               // extract_extradata
};

class MjpegInformer : public Informer {
public:
    MjpegInformer(uint32_t code);

protected:
    Learned describe(QByteArrayView payload, bool key, StreamParams *params, Signature *signature) override;
    bool signatureOf(QByteArrayView payload, Signature *signature) override;

private:
    media::CodecContextHolder _headerReader;  // a decoder that skips every picture's data
};

}  // namespace codecs

#endif  // CLIENT_CODECS_VIDEOINFORMERS_H_
