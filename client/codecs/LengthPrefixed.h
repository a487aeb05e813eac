// H.264 and HEVC as Matroska stores them: NAL units with 4-byte big-endian
// length prefixes instead of Annex B start codes, and the parameter sets as
// an avcC/hvcC record. Given Annex B, the Matroska muxer rewrites every
// packet itself; handed what it would write, it copies each packet once and
// writes the same bytes.
//
// The same bytes: the record is the one the muxer itself makes of the
// Annex B parameter sets (asked of it once per stream), and the packets are
// split into NAL units exactly as FFmpeg's muxers split them (a start code
// is 00 00 01, counted from a zero byte before it; zero bytes before a start
// code beyond that one stay with the NAL unit before; bytes before the first
// start code and a start code at the very end are dropped).
//
// Free functions; any thread.
#ifndef CLIENT_CODECS_LENGTHPREFIXED_H_
#define CLIENT_CODECS_LENGTHPREFIXED_H_

#include "client/media/FFmpegHolders.h"

#include <QByteArray>
#include <QByteArrayView>

struct AVPacket;

namespace codecs {

// The avcC (H.264) or hvcC (HEVC) record the Matroska muxer stores for the
// Annex B parameter sets `annexB` of a `width` x `height` stream; empty when
// the muxer makes none of them.
QByteArray lengthPrefixedConfig(AVCodecID codecId, int width, int height, QByteArrayView annexB);

// The NAL units of the Annex B `annexB`, each behind a 4-byte start code
// and without the zero bytes it ends in: a NAL unit ends in a non-zero
// byte, but the extract_extradata filter keeps the first zero of the 4-byte
// start code after the last parameter set with that set.
QByteArray withoutTrailingZeros(QByteArrayView annexB);

// Fills the blank `packet` with the NAL units of the Annex B `payload`,
// each behind its length, in a buffer of its own. False when memory runs out.
bool packLengthPrefixed(QByteArrayView payload, AVPacket *packet);

}  // namespace codecs

#endif  // CLIENT_CODECS_LENGTHPREFIXED_H_
