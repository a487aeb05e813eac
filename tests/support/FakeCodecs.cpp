#include "tests/support/FakeCodecs.h"

#include "client/runtime/Runtime.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <cstring>

namespace testsupport {

namespace {

constexpr int kCodeBytes = 4;

class FakeInformer : public IAVInformer_LibavExport {
public:
    explicit FakeInformer(int readyAfterKeyBlocks) : _readyAfter(readyAfterKeyBlocks) {}

    bool addBlock(QByteArray block, bool key) override
    {
        if (block.size() < kCodeBytes)
            return false;
        if (key)
            ++_keyBlocks;
        return true;
    }
    bool isReady() override { return _readyAfter >= 0 && _keyBlocks >= _readyAfter; }

    bool fillStream(AVFormatContext *context) override
    {
        AVStream *stream = avformat_new_stream(context, nullptr);
        if (!stream)
            return false;
        AVCodecParameters *parameters = stream->codecpar;
        parameters->codec_type = AVMEDIA_TYPE_AUDIO;
        parameters->codec_id = AV_CODEC_ID_PCM_MULAW;
        parameters->sample_rate = 8000;
        av_channel_layout_default(&parameters->ch_layout, 1);
        parameters->bit_rate = 64000;
        parameters->block_align = 1;
        _streamIndex = stream->index;
        return true;
    }

    bool fillPacket(const QByteArray &block, bool, AVPacket *packet, bool *startNewFile) override
    {
        packet->data = nullptr;
        if (block.startsWith("FAIL"))
            return false;
        if (block.startsWith("NEWF") && _packed > 0) {
            *startNewFile = true;
            return true;
        }
        ++_packed;
        const int sizeBytes = int(block.size()) - kCodeBytes;
        if (sizeBytes <= 0)
            return true;
        auto *buffer = static_cast<uint8_t *>(av_malloc(size_t(sizeBytes) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!buffer)
            return false;
        std::memcpy(buffer, block.constData() + kCodeBytes, size_t(sizeBytes));
        std::memset(buffer + sizeBytes, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        if (av_packet_from_data(packet, buffer, sizeBytes) < 0) {
            av_free(buffer);
            return false;
        }
        packet->stream_index = _streamIndex;
        return true;
    }

private:
    const int _readyAfter;
    int _keyBlocks = 0;
    int _streamIndex = -1;
    int _packed = 0;
};

class FakeFormatManager : public IAVFormatManager {
public:
    explicit FakeFormatManager(FakeCodecs *codecs) : _codecs(codecs) {}

    ComponentRef<IAVInformer> createInformer(uint32_t, const QByteArray &) override
    {
        _codecs->countInformer();
        return velt::makeRef<IAVInformer>(new FakeInformer(_codecs->readyAfterKeyBlocks), "fake informer");
    }

private:
    FakeCodecs *_codecs;
};

}  // namespace

ComponentRef<IPolymorph> FakeCodecs::manager()
{
    return velt::makeRef<IPolymorph>(new FakeFormatManager(this), "fake format manager");
}

}  // namespace testsupport
