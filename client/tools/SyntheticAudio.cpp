#include "client/tools/SyntheticAudio.h"

#include "client/archive/Recorder.h"
#include "client/media/FourCC.h"

#include <climits>
#include <cmath>

namespace tools {

namespace {

constexpr int kAacBitRatePerChannel = 32000;
constexpr int kG711SampleRate = 8000;
constexpr double kToneLevel = 0.3;

}  // namespace

SyntheticAudio::SyntheticAudio(Codec codec, double toneHz, int64_t startMs)
    : _codec(codec), _toneHz(toneHz), _startMs(startMs)
{
}

std::unique_ptr<SyntheticAudio> SyntheticAudio::open(const Settings &settings, double toneHz, int64_t startMs,
                                                     int64_t durationMs, QString *error)
{
    const Codec codec = settings.codec;
    const bool aac = codec == Codec::Aac;
    media::CodecContextHolder context =
        Encoder::allocate(aac ? "aac" : codec == Codec::Ulaw ? "pcm_mulaw" : "pcm_alaw", error);
    if (!context)
        return nullptr;
    av_channel_layout_default(&context->ch_layout, aac ? settings.channels : 1);
    context->sample_rate = aac ? settings.sampleRateHz : kG711SampleRate;
    context->sample_fmt = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    context->time_base = AVRational{1, context->sample_rate};
    if (aac)
        context->bit_rate = int64_t(kAacBitRatePerChannel) * settings.channels;

    std::unique_ptr<SyntheticAudio> audio(new SyntheticAudio(codec, toneHz, startMs));
    audio->_encoder = Encoder::open(std::move(context), {}, error);
    if (!audio->_encoder)
        return nullptr;
    AVCodecContext *opened = audio->_encoder->context();
    audio->_sampleRate = opened->sample_rate;
    audio->_samplesPerBlock = aac ? opened->frame_size : kG711SampleRate * settings.packetMs / 1000;
    audio->_blockCount = unitsWithin(durationMs, audio->_samplesPerBlock, audio->_sampleRate);
    if (aac) {
        audio->_adts = AdtsWrapper::forEncoder(opened, error);
        if (!audio->_adts)
            return nullptr;
    }
    return audio;
}

uint8_t SyntheticAudio::streamNumber() const
{
    return archive::kAudioStream;
}

int64_t SyntheticAudio::nextInputTimeMs() const
{
    return _nextInputBlock < _blockCount
               ? sampleTimeMs(_startMs, _nextInputBlock * _samplesPerBlock, _sampleRate)
               : INT64_MAX;
}

bool SyntheticAudio::step(std::vector<Block> *blocks, QString *error)
{
    AVFrame *frame = _encoder->inputFrame(_samplesPerBlock, error);
    if (!frame)
        return false;
    fillTone(frame);
    frame->pts = _nextInputBlock * _samplesPerBlock;
    ++_nextInputBlock;
    return encode(frame, blocks, error);
}

void SyntheticAudio::fillTone(AVFrame *frame) const
{
    const double step = 2.0 * M_PI * _toneHz / _sampleRate;
    const int64_t first = _nextInputBlock * _samplesPerBlock;
    for (int i = 0; i < frame->nb_samples; ++i) {
        const double value = kToneLevel * std::sin(step * double(first + i));
        if (_codec != Codec::Aac) {
            reinterpret_cast<int16_t *>(frame->data[0])[i] = int16_t(std::lrint(value * 32767.0));
            continue;
        }
        // Planar: the same tone on every channel.
        for (int channel = 0; channel < frame->ch_layout.nb_channels; ++channel)
            reinterpret_cast<float *>(frame->data[channel])[i] = float(value);
    }
}

bool SyntheticAudio::toBlocks(const std::vector<media::PacketHolder> &packets, std::vector<Block> *blocks,
                              QString *error)
{
    const uint32_t code = _codec == Codec::Aac ? fourcc::kAac : _codec == Codec::Ulaw ? fourcc::kUlaw : fourcc::kAlaw;
    // The encoder's delay shows only in how late packets come out: the
    // stream's blocks are numbered in output order, and those past the
    // fragment's end (the AAC encoder's drained tail) are dropped.
    for (const media::PacketHolder &packet : packets) {
        if (_nextOutputBlock >= _blockCount)
            break;
        QByteArray payload;
        if (!blockPayload(code, packet.get(), _adts.get(), &payload, error))
            return false;
        const int64_t timeMs = sampleTimeMs(_startMs, _nextOutputBlock * _samplesPerBlock, _sampleRate);
        blocks->push_back(Block{archive::kAudioStream, timeMs, false, std::move(payload)});
        ++_nextOutputBlock;
    }
    return true;
}

}  // namespace tools
