#include "tests/support/FakeArchive.h"

#include "client/runtime/Runtime.h"
#include "plugin/host/Codecs.h"
#include "plugin/host/Guids.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace fakes {

namespace {

class Queue : public IEncodedDataQueue {
public:
    Archive::Generator next;

    bool readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs, int64_t *scratch,
                   ReadCursor *cursor, int32_t a, int32_t b, int64_t *reserved1, int64_t *reserved2) override
    {
        // The engine always passes these; anything else is a broken call.
        if (!cursor || a != 0 || b != 1 || reserved1 || reserved2 || !scratch)
            std::abort();
        Block block;
        if (!next || !next(&block))
            return false;
        std::tie(*data, *streamNumber, *key, *timeMs, *scratch) =
            std::make_tuple(block.data, block.streamNumber, block.key, block.timeMs, 0);
        cursor->offset++;
        return true;
    }
    void setMaxBlocks(int32_t) override {}
    void setMaxBytes(int32_t) override {}
    void setMode(int32_t) override {}
};

// Every component of the archive but the queue; each reference handed out
// is an object of its own, sharing the archive.
class Component : public IArchiveVideoSource, public IArchiveReader, public IFragmentIndex, public IBlockSource {
public:
    explicit Component(const std::shared_ptr<Archive> &archive) : _archive(archive) {}

    ComponentRef<IArchiveReader> archiveReader() override { return make<IArchiveReader>(_archive->hasReader); }
    ComponentRef<IVideoSource> videoSource() override { return make<IVideoSource>(true); }

    int64_t beginTime() override { return _archive->firstMs; }
    int64_t endTime() override { return _archive->lastMs; }
    ComponentRef<IPolymorph> hold() override { return {}; }
    ComponentRef<IFragmentIndex> fragmentIndex() override { return make<IFragmentIndex>(_archive->hasIndex); }
    ComponentRef<IBlockSource> blockSource() override { return make<IBlockSource>(_archive->hasBlockSource); }

    void fragments(std::vector<Fragment> *out, int *) override
    {
        out->insert(out->end(), _archive->fragments.begin(), _archive->fragments.end());
    }
    void unusedOperation() override { std::abort(); }  // the plug-in never calls it
    bool timeBounds(int64_t *firstMs, int64_t *lastMs, int32_t *count) override
    {
        *firstMs = _archive->firstMs;
        *lastMs = _archive->lastMs;
        *count = int32_t(_archive->fragments.size());
        return !_archive->fragments.empty();
    }

    void feed(int64_t fromMs, ComponentRef<IEncodedDataQueue> queue) override
    {
        ++_archive->feeds;
        auto blocks = std::make_shared<std::vector<Block>>();
        std::copy_if(_archive->script.begin(), _archive->script.end(), std::back_inserter(*blocks),
                     [fromMs](const Block &block) { return block.atMs >= fromMs; });
        if (auto *fake = dynamic_cast<Queue *>(queue.get())) {
            fake->next = _archive->feed ? _archive->feed(fromMs) : [blocks, i = size_t(0)](Block *out) mutable {
                return i < blocks->size() && (*out = (*blocks)[i++], true);
            };
        }
    }

private:
    template <class I>
    ComponentRef<I> make(bool present)
    {
        return present ? velt::makeRef<I>(new Component(_archive), "fakes::Component") : ComponentRef<I>();
    }

    std::shared_ptr<Archive> _archive;
};

constexpr int kCodeBytes = 4;

// The format manager, and each informer it makes: objects of one class.
class Codecs : public IAVFormatManager, public IAVInformer_LibavExport {
public:
    explicit Codecs(int readyAfterKeyBlocks) : _readyAfter(readyAfterKeyBlocks) {}

    ComponentRef<IAVInformer> createInformer(uint32_t, const QByteArray &) override
    {
        return velt::makeRef<IAVInformer>(new Codecs(_readyAfter), "fakes::Informer");
    }

    bool addBlock(QByteArray block, bool key) override
    {
        _keyBlocks += key;
        return block.size() >= kCodeBytes;
    }
    bool isReady() override { return _readyAfter >= 0 && _keyBlocks >= _readyAfter; }

    bool fillStream(AVFormatContext *context) override
    {
        AVStream *stream = avformat_new_stream(context, nullptr);
        if (!stream)
            return false;
        stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        stream->codecpar->codec_id = AV_CODEC_ID_PCM_MULAW;
        stream->codecpar->sample_rate = 8000;
        av_channel_layout_default(&stream->codecpar->ch_layout, 1);
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
        if (av_new_packet(packet, sizeBytes) < 0)
            return false;
        std::memcpy(packet->data, block.constData() + kCodeBytes, size_t(sizeBytes));
        packet->stream_index = _streamIndex;
        return true;
    }

private:
    const int _readyAfter;
    int _keyBlocks = 0;
    int _streamIndex = -1;
    int _packed = 0;
};

}  // namespace

Block block(uint32_t streamNumber, int64_t timeMs, bool key, int sizeBytes, const char *fourcc)
{
    QByteArray data(sizeBytes, char(timeMs & 0x7f));
    const char *code = fourcc ? fourcc : (streamNumber == 0 ? "VID1" : "AUD1");
    std::memcpy(data.data(), code, std::min<size_t>(kCodeBytes, size_t(sizeBytes)));
    return Block{data, streamNumber, key, timeMs, timeMs};
}

void Archive::setFragments(const std::vector<std::pair<int64_t, int64_t>> &ranges)
{
    fragments.clear();
    for (const auto &range : ranges)
        fragments.push_back(Fragment{range.first, range.second, int64_t(fragments.size()), 0, 0});
    if (!ranges.empty()) {
        firstMs = ranges.front().first;
        lastMs = ranges.back().second;
    }
}

std::function<Archive::Generator(int64_t fromMs)> endlessFeed(int dryEvery)
{
    return [dryEvery](int64_t fromMs) -> Archive::Generator {
        return [dryEvery, fromMs, next = fromMs, calls = 0](Block *out) mutable {
            if (dryEvery && ++calls % dryEvery == 0)
                return false;
            *out = block((next - fromMs) % 40 ? 8 : 0, next);
            next += (next - fromMs) % 40 ? 39 : 1;
            return true;
        };
    };
}

ComponentRef<IArchiveVideoSource> archiveSource(const std::shared_ptr<Archive> &archive)
{
    return velt::makeRef<IArchiveVideoSource>(new Component(archive), "fakes::Source");
}

void registerQueue()
{
    velt::registerFactory(guids::kEncodedDataQueue,
                          [] { return static_cast<void *>(static_cast<IEncodedDataQueue *>(new Queue)); });
}

ComponentRef<IPolymorph> formatManager(int readyAfterKeyBlocks)
{
    return velt::makeRef<IPolymorph>(static_cast<IAVFormatManager *>(new Codecs(readyAfterKeyBlocks)), "fakes::Codecs");
}

}  // namespace fakes
