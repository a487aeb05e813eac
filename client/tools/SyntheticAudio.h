// The synthetic camera's sound for one fragment: a sine tone encoded as AAC
// (FFmpeg's native encoder, sent as ADTS frames of 1024 samples) or as G.711
// mu-law or A-law (8 kHz mono, blocks of packetMs). Block n is stamped
// from its first sample's number, start + n*samplesPerBlock*1000/rate ms
// (rounded), and the fragment gets every block that starts within it.
//
// One thread; owns its encoder and its ADTS wrapper.
#ifndef CLIENT_TOOLS_SYNTHETICAUDIO_H_
#define CLIENT_TOOLS_SYNTHETICAUDIO_H_

#include "client/tools/AdtsWrapper.h"
#include "client/tools/SyntheticTrack.h"

#include <memory>

namespace tools {

class SyntheticAudio : public SyntheticTrack {
public:
    enum class Codec { Aac, Ulaw, Alaw };
    struct Settings {
        Codec codec = Codec::Aac;
        int sampleRateHz = 16000;  // AAC; G.711 is always 8000
        int channels = 1;          // AAC; G.711 is always mono
        int packetMs = 20;         // G.711
    };

    static std::unique_ptr<SyntheticAudio> open(const Settings &settings, double toneHz, int64_t startMs,
                                                int64_t durationMs, QString *error);

    uint8_t streamNumber() const override;
    int64_t nextInputTimeMs() const override;
    bool step(std::vector<Block> *blocks, QString *error) override;

private:
    SyntheticAudio(Codec codec, double toneHz, int64_t startMs);

    void fillTone(AVFrame *frame) const;
    bool toBlocks(const std::vector<media::PacketHolder> &packets, std::vector<Block> *blocks,
                  QString *error) override;

    Codec _codec;
    double _toneHz;
    int64_t _startMs;
    int _sampleRate = 0;
    int _samplesPerBlock = 0;
    int64_t _blockCount = 0;
    int64_t _nextInputBlock = 0;
    int64_t _nextOutputBlock = 0;
    std::unique_ptr<AdtsWrapper> _adts;  // AAC only
};

}  // namespace tools

#endif  // CLIENT_TOOLS_SYNTHETICAUDIO_H_
