#include "client/codecs/AudioInformers.h"

#include "client/codecs/Libav.h"

namespace codecs {

namespace {

constexpr int kG711RateHz = 8000;
constexpr int kG711BitRateBps = 64000;
constexpr int kAdtsHeaderSizeBytes = 7;

// What one AAC stream cannot change, read straight from the ADTS header
// (profile, sampling-frequency index, channel configuration): every audio
// block is a key block, so this runs for every block of a file and must not
// build or run a filter. False when the bytes do not start an ADTS frame.
bool adtsSignature(QByteArrayView payload, Signature *signature)
{
    if (payload.size() < kAdtsHeaderSizeBytes)
        return false;
    const auto *h = reinterpret_cast<const uint8_t *>(payload.data());
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0)
        return false;
    const char profile = char(h[2] >> 6);
    const char frequencyIndex = char((h[2] >> 2) & 0x0F);
    const char channels = char((h[2] & 0x01) << 2 | h[3] >> 6);
    const char fields[] = {profile, frequencyIndex, channels};
    signature->config = QByteArray(fields, sizeof fields);
    return true;
}

}  // namespace

AacInformer::AacInformer(uint32_t code) : Informer(code) {}

bool AacInformer::toRaw(AVPacket *packet, QByteArray *config)
{
    // The filter writes the configuration only for the first frame it sees.
    media::BsfHolder filter = makeFilter("aac_adtstoasc", AV_CODEC_ID_AAC);
    if (!filter || !filterPacket(filter.get(), packet))
        return false;
    size_t configSizeBytes = 0;
    const uint8_t *bytes = av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &configSizeBytes);
    if (!bytes || configSizeBytes == 0)
        return false;
    *config = QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(configSizeBytes));
    return true;
}

Informer::Learned AacInformer::describe(QByteArrayView payload, bool, StreamParams *params, Signature *signature)
{
    media::PacketHolder packet = paddedCopy(payload);
    QByteArray config;
    if (!packet || !toRaw(packet.get(), &config))
        return Learned::Invalid;
    media::CodecContextHolder decoder = openDecoder(AV_CODEC_ID_AAC, config);
    media::FrameHolder samples(av_frame_alloc());
    if (!decoder || !samples || !decodeOne(decoder.get(), packet.get(), samples.get()))
        return Learned::Invalid;
    params->type = AVMEDIA_TYPE_AUDIO;
    params->codecId = AV_CODEC_ID_AAC;
    params->sampleRateHz = samples->sample_rate;
    params->channels = samples->ch_layout.nb_channels;
    params->extradata = config;
    return adtsSignature(payload, signature) ? Learned::Described : Learned::Invalid;
}

bool AacInformer::signatureOf(QByteArrayView payload, Signature *signature)
{
    return adtsSignature(payload, signature);
}

bool AacInformer::pack(const QByteArray &block, AVPacket *packet)
{
    if (!_packer)
        _packer = makeFilter("aac_adtstoasc", AV_CODEC_ID_AAC);
    if (!_packer || !Informer::pack(block, packet) || !filterPacket(_packer.get(), packet))
        return false;
    av_packet_free_side_data(packet);
    return true;
}

G711Informer::G711Informer(uint32_t code, AVCodecID codecId) : Informer(code), _codecId(codecId) {}

Informer::Learned G711Informer::describe(QByteArrayView, bool, StreamParams *params, Signature *)
{
    params->type = AVMEDIA_TYPE_AUDIO;
    params->codecId = _codecId;
    params->sampleRateHz = kG711RateHz;
    params->channels = 1;
    params->bitRateBps = kG711BitRateBps;
    params->blockAlignBytes = 1;
    return Learned::Described;
}

}  // namespace codecs
