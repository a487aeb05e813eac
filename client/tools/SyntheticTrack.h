// One stream of the synthetic camera for one fragment: it makes its input
// (pictures, a tone) in time order, encodes it and hands out finished
// blocks. The synth command steps whichever track's next input is earliest.
//
// One thread; a track owns its encoder.
#ifndef CLIENT_TOOLS_SYNTHETICTRACK_H_
#define CLIENT_TOOLS_SYNTHETICTRACK_H_

#include "client/tools/BlockInterleaver.h"
#include "client/tools/Encoder.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

namespace tools {

class SyntheticTrack {
public:
    virtual ~SyntheticTrack() = default;

    // Stream number the blocks go to.
    virtual uint8_t streamNumber() const = 0;
    // Time of the next input to encode; INT64_MAX once all input is in.
    virtual int64_t nextInputTimeMs() const = 0;
    // Encodes the next input and appends the blocks that became ready.
    virtual bool step(std::vector<Block> *blocks, QString *error) = 0;
    // Drains the encoder and appends the remaining blocks.
    bool finish(std::vector<Block> *blocks, QString *error) { return encode(nullptr, blocks, error); }

protected:
    // Encodes `frame` (null: drains the encoder) and appends the blocks of
    // the packets that came out.
    bool encode(const AVFrame *frame, std::vector<Block> *blocks, QString *error)
    {
        std::vector<media::PacketHolder> packets;
        return _encoder->encode(frame, &packets, error) && toBlocks(packets, blocks, error);
    }
    virtual bool toBlocks(const std::vector<media::PacketHolder> &packets, std::vector<Block> *blocks,
                          QString *error) = 0;

    std::unique_ptr<Encoder> _encoder;  // set by the track's open()
};

// Time of sample `sampleIndex` (a picture, for video) of a stream of
// `sampleRate` samples per second starting at `startMs`, to the nearest ms.
inline int64_t sampleTimeMs(int64_t startMs, int64_t sampleIndex, int64_t sampleRate)
{
    return startMs + (sampleIndex * 2000 + sampleRate) / (2 * sampleRate);
}

// How many units of `samplesPerUnit` samples start within `durationMs`.
inline int64_t unitsWithin(int64_t durationMs, int64_t samplesPerUnit, int64_t sampleRate)
{
    const int64_t divisor = samplesPerUnit * 1000;
    return (durationMs * sampleRate + divisor - 1) / divisor;
}

}  // namespace tools

#endif  // CLIENT_TOOLS_SYNTHETICTRACK_H_
