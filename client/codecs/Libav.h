// The FFmpeg calls the codec informers share (and the client's player and
// tests use): the codec of a four-character code, the two ways a block's
// encoded bytes become an AVPacket (a padded copy, which FFmpeg's parsers,
// filters and decoders may read past the end of, and a reference to the
// block's QByteArray for the muxer, which reads only within size), running a
// bitstream filter over one packet and decoding one packet.
//
// Free functions, used on the informer's thread; every packet they fill owns
// what it refers to and is freed with av_packet_unref/av_packet_free.
// Failures are logged here, with FFmpeg's reason.
#ifndef CLIENT_CODECS_LIBAV_H_
#define CLIENT_CODECS_LIBAV_H_

#include "client/media/FFmpegHolders.h"

#include <QByteArray>
#include <QByteArrayView>

namespace codecs {

// FFmpeg's codec for a block's four-character code; AV_CODEC_ID_NONE for a
// code the client does not know.
AVCodecID codecIdOf(uint32_t code);

// A new packet holding a copy of `bytes` followed by zeroed padding; null
// when memory runs out.
media::PacketHolder paddedCopy(QByteArrayView bytes);

// Makes the blank `packet` refer to the bytes of `block` from `offsetBytes`
// on. The packet's buffer keeps a shared copy of the QByteArray alive until
// it is unreferenced. Short payloads, which filters could read past, are
// copied with padding instead. False when memory runs out.
bool referenceBytes(const QByteArray &block, int offsetBytes, AVPacket *packet);

// A bitstream filter `name` initialised for `codecId`; null when FFmpeg has
// no such filter or it cannot start.
media::BsfHolder makeFilter(const char *name, AVCodecID codecId);

// Passes `packet` through `filter` (which must give one packet for one) and
// puts the result back into `packet`. False when the filter refuses it.
bool filterPacket(AVBSFContext *filter, AVPacket *packet);

// An opened decoder for `codecId` with `extradata`; null when there is none.
media::CodecContextHolder openDecoder(AVCodecID codecId, QByteArrayView extradata = {});

// Decodes the single picture or audio frame in `packet` into `frame`. The
// decoder is drained by it and takes no packet afterwards; false when it
// yields no frame.
bool decodeOne(AVCodecContext *decoder, const AVPacket *packet, AVFrame *frame);

}  // namespace codecs

#endif  // CLIENT_CODECS_LIBAV_H_
