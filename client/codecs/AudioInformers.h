// Informers of the audio codecs: AAC in ADTS frames, and G.711 mu-law and
// A-law (8000 Hz mono). See Informer.h for the contract.
//
// AAC learns its AudioSpecificConfig through the aac_adtstoasc filter and
// sample rate and channels by decoding the first frame; packets are the raw
// frames without their ADTS header, as Matroska stores AAC. A frame whose
// ADTS header names another profile, sampling rate or channel layout starts
// a new file (read from the header in place). G.711 has nothing to learn:
// any non-empty block describes it.
//
// One thread at a time; each informer owns its filter.
#ifndef CLIENT_CODECS_AUDIOINFORMERS_H_
#define CLIENT_CODECS_AUDIOINFORMERS_H_

#include "client/codecs/Informer.h"
#include "client/media/FFmpegHolders.h"

namespace codecs {

class AacInformer : public Informer {
public:
    explicit AacInformer(uint32_t code);

protected:
    Learned describe(QByteArrayView payload, bool key, StreamParams *params, Signature *signature) override;
    bool signatureOf(QByteArrayView payload, Signature *signature) override;
    bool pack(const QByteArray &block, AVPacket *packet) override;

private:
    // Strips the ADTS header of one padded packet in place; `config` gets
    // the AudioSpecificConfig it implies. False for a broken header.
    static bool toRaw(AVPacket *packet, QByteArray *config);

    media::BsfHolder _packer;  // aac_adtstoasc for the packets, made on first use
};

class G711Informer : public Informer {
public:
    G711Informer(uint32_t code, AVCodecID codecId);

protected:
    Learned describe(QByteArrayView payload, bool key, StreamParams *params, Signature *signature) override;

private:
    const AVCodecID _codecId;
};

}  // namespace codecs

#endif  // CLIENT_CODECS_AUDIOINFORMERS_H_
