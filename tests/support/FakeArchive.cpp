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

namespace fakes {

namespace {

using ArchivePtr = std::shared_ptr<Archive>;

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
        *data = block.data;
        *streamNumber = block.streamNumber;
        *key = block.key;
        *timeMs = block.timeMs;
        *scratch = 0;
        cursor->offset++;
        return true;
    }
    void setMaxBlocks(int32_t) override {}
    void setMaxBytes(int32_t) override {}
    void setMode(int32_t) override {}
};

class Index : public IFragmentIndex {
public:
    explicit Index(const ArchivePtr &archive) : _archive(archive) {}
    void fragments(std::vector<Fragment> *out, int *) override
    {
        out->insert(out->end(), _archive->fragments.begin(), _archive->fragments.end());
    }
    bool fragmentAt(int64_t, Fragment *) override { return false; }  // the plug-in does not ask
    bool timeBounds(int64_t *firstMs, int64_t *lastMs, int32_t *count) override
    {
        *firstMs = _archive->firstMs;
        *lastMs = _archive->lastMs;
        *count = int32_t(_archive->fragments.size());
        return !_archive->fragments.empty();
    }

private:
    ArchivePtr _archive;
};

class BlockSource : public IBlockSource {
public:
    explicit BlockSource(const ArchivePtr &archive) : _archive(archive) {}
    void feed(int64_t fromMs, ComponentRef<IEncodedDataQueue> queue) override
    {
        auto *fake = dynamic_cast<Queue *>(queue.get());
        if (!fake)
            return;
        if (_archive->feed) {
            fake->next = _archive->feed(fromMs);
            return;
        }
        auto blocks = std::make_shared<std::vector<Block>>();
        for (const Block &block : _archive->script) {
            if (block.atMs >= fromMs)
                blocks->push_back(block);
        }
        fake->next = [blocks, i = size_t(0)](Block *out) mutable {
            if (i == blocks->size())
                return false;
            *out = (*blocks)[i++];
            return true;
        };
    }

private:
    ArchivePtr _archive;
};

class Reader : public IArchiveReader {
public:
    explicit Reader(const ArchivePtr &archive) : _archive(archive) {}
    int64_t beginTime() override { return _archive->firstMs; }
    int64_t endTime() override { return _archive->lastMs; }
    ComponentRef<IPolymorph> hold() override { return ComponentRef<IPolymorph>(); }
    ComponentRef<IFragmentIndex> fragmentIndex() override
    {
        if (!_archive->hasIndex)
            return ComponentRef<IFragmentIndex>();
        return velt::makeRef<IFragmentIndex>(new Index(_archive), "fakes::Index");
    }
    ComponentRef<IBlockSource> blockSource() override
    {
        if (!_archive->hasBlockSource)
            return ComponentRef<IBlockSource>();
        return velt::makeRef<IBlockSource>(new BlockSource(_archive), "fakes::BlockSource");
    }

private:
    ArchivePtr _archive;
};

// The archive video source, and (as its video source) the same class again.
class Source : public IArchiveVideoSource {
public:
    explicit Source(const ArchivePtr &archive) : _archive(archive) {}
    QString channelName() const override { return QStringLiteral("fake"); }
    ComponentRef<IArchiveReader> archiveReader() override
    {
        if (!_archive->hasReader)
            return ComponentRef<IArchiveReader>();
        return velt::makeRef<IArchiveReader>(new Reader(_archive), "fakes::Reader");
    }
    ComponentRef<IVideoSource> videoSource() override
    {
        return velt::makeRef<IVideoSource>(new Source(_archive), "fakes::Video");
    }

private:
    ArchivePtr _archive;
};

constexpr int kCodeBytes = 4;

class Informer : public IAVInformer_LibavExport {
public:
    explicit Informer(int readyAfterKeyBlocks) : _readyAfter(readyAfterKeyBlocks) {}

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

class FormatManager : public IAVFormatManager {
public:
    explicit FormatManager(int readyAfterKeyBlocks) : _readyAfter(readyAfterKeyBlocks) {}
    ComponentRef<IAVInformer> createInformer(uint32_t, const QByteArray &) override
    {
        return velt::makeRef<IAVInformer>(new Informer(_readyAfter), "fakes::Informer");
    }

private:
    const int _readyAfter;
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

ComponentRef<IArchiveVideoSource> archiveSource(const std::shared_ptr<Archive> &archive)
{
    return velt::makeRef<IArchiveVideoSource>(new Source(archive), "fakes::Source");
}

void registerQueue()
{
    velt::registerFactory(guids::kEncodedDataQueue,
                          [] { return static_cast<void *>(static_cast<IEncodedDataQueue *>(new Queue)); });
}

ComponentRef<IPolymorph> formatManager(int readyAfterKeyBlocks)
{
    return velt::makeRef<IPolymorph>(new FormatManager(readyAfterKeyBlocks), "fakes::FormatManager");
}

}  // namespace fakes
