// Real encoded samples for the codec tests, made with libavcodec: a moving
// pattern in H.264 (libx264), HEVC (libx265) or MJPEG, a tone in AAC (as
// ADTS frames, through the "adts" muxer) or G.711. Each block starts with
// its four-character code, as the archive stores it. Also the decoded form
// of packets (one MD5 per frame), to compare what a file holds with what was
// encoded. And informers made the way the export engine makes them.
#ifndef TESTS_CLIENT_CODECS_SAMPLES_H_
#define TESTS_CLIENT_CODECS_SAMPLES_H_

extern "C" {
#include <libavcodec/codec_par.h>
}

#include "plugin/host/Codecs.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <vector>

namespace samples {

struct Block {
    QByteArray payload;  // code, then the encoded bytes
    bool key = false;
    int64_t timeMs = 0;
};

// `frames` pictures of `code` (H264, HEVC or MJPG) of the given size, 25
// per second, a key frame every `keyIntervalFrames`, no B frames.
std::vector<Block> video(uint32_t code, int width, int height, int frames, int keyIntervalFrames);

// About `durationMs` of a 440 Hz tone: "AAC " at `sampleRateHz` with
// `channels`, or ULAW/ALAW (always 8000 Hz mono, 20 ms blocks).
std::vector<Block> audio(uint32_t code, int durationMs, int sampleRateHz = 16000, int channels = 1);

// The MD5 of every frame the decoder for `par` makes of `packets` (encoded
// bytes without code), in output order. Empty on a decoding error.
QList<QByteArray> decodedFrames(const AVCodecParameters *par, const QList<QByteArray> &packets);

// A new informer for `code` from a new format manager, converted to its
// export interface; empty when there is none.
ComponentRef<IAVInformer_LibavExport> informerFor(uint32_t code);

// informerFor(code) fed with the key blocks of `blocks` until it is ready.
ComponentRef<IAVInformer_LibavExport> describedBy(uint32_t code, const std::vector<Block> &blocks);

// The encoded bytes of `blocks` without their code.
QList<QByteArray> payloads(const std::vector<Block> &blocks);

}  // namespace samples

#endif  // TESTS_CLIENT_CODECS_SAMPLES_H_
