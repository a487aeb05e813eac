#include "tests/support/FakeArchive.h"

#include "client/runtime/Runtime.h"
#include "plugin/host/Guids.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

class FakeHold : public IPolymorph {};

class FakeFragmentIndex : public IFragmentIndex {
public:
    explicit FakeFragmentIndex(std::vector<Fragment> fragments) : _fragments(std::move(fragments)) {}

    void fragments(std::vector<Fragment> *out, int *) override
    {
        out->insert(out->end(), _fragments.begin(), _fragments.end());
    }
    bool fragmentAt(int64_t timeMs, Fragment *out) override
    {
        for (const Fragment &fragment : _fragments) {
            if (fragment.start <= timeMs && timeMs < fragment.end) {
                *out = fragment;
                return true;
            }
        }
        return false;
    }
    bool timeBounds(int64_t *firstMs, int64_t *lastMs, int32_t *count) override
    {
        if (_fragments.empty())
            return false;
        *firstMs = _fragments.front().start;
        *lastMs = _fragments.back().end;
        *count = int32_t(_fragments.size());
        return true;
    }

private:
    const std::vector<Fragment> _fragments;
};

class FakeBlockSource : public IBlockSource {
public:
    explicit FakeBlockSource(FakeArchive *archive) : _archive(archive) {}
    void feed(int64_t timeMs, ComponentRef<IEncodedDataQueue> queue) override { _archive->recordFeed(timeMs, queue); }

private:
    FakeArchive *_archive;
};

class FakeReader : public IArchiveReader {
public:
    explicit FakeReader(FakeArchive *archive) : _archive(archive) {}

    int64_t beginTime() override { return _archive->beginTimeMs; }
    int64_t endTime() override { return _archive->endTimeMs; }
    ComponentRef<IPolymorph> hold() override { return velt::makeRef<IPolymorph>(new FakeHold, "fake archive hold"); }
    ComponentRef<IFragmentIndex> fragmentIndex() override
    {
        if (!_archive->hasFragmentIndex)
            return ComponentRef<IFragmentIndex>();
        return velt::makeRef<IFragmentIndex>(new FakeFragmentIndex(_archive->fragments), "fake fragment index");
    }
    ComponentRef<IBlockSource> blockSource() override
    {
        _archive->recordBlockSource();
        if (!_archive->hasBlockSource)
            return ComponentRef<IBlockSource>();
        return velt::makeRef<IBlockSource>(new FakeBlockSource(_archive), "fake block source");
    }

private:
    FakeArchive *_archive;
};

class FakeSource : public IArchiveVideoSource {
public:
    explicit FakeSource(FakeArchive *archive) : _archive(archive) {}

    QString channelName() const override { return QStringLiteral("fake channel"); }
    ComponentRef<IArchiveReader> archiveReader() override
    {
        return _archive->hasReader ? _archive->reader() : ComponentRef<IArchiveReader>();
    }
    ComponentRef<IVideoSource> videoSource() override
    {
        return velt::makeRef<IVideoSource>(new FakeSource(_archive), "fake video source");
    }

private:
    FakeArchive *_archive;
};

}  // namespace

FakeBlock makeBlock(uint32_t streamNumber, int64_t timeMs, bool key, int sizeBytes, const char *fourcc)
{
    QByteArray data(sizeBytes, char(timeMs & 0x7f));
    const char *code = fourcc ? fourcc : (streamNumber == 0 ? "VID1" : "AUD1");
    std::memcpy(data.data(), code, std::min<size_t>(4, size_t(sizeBytes)));
    return FakeBlock{data, streamNumber, key, timeMs, timeMs};
}

FakeBlock makeMarker(int64_t timeMs, int64_t atMs) { return FakeBlock{QByteArray(), 0, false, timeMs, atMs}; }

FakeArchive::FakeArchive()
{
    velt::registerFactory(guids::kEncodedDataQueue, [this] {
        std::lock_guard<std::mutex> lock(_mutex);
        auto *queue = new FakeEncodedDataQueue(this, ++_queuesMade);
        return static_cast<void *>(static_cast<IEncodedDataQueue *>(queue));
    });
}

FakeArchive::~FakeArchive() { velt::unregisterFactory(guids::kEncodedDataQueue); }

void FakeArchive::setFragments(const std::vector<std::pair<int64_t, int64_t>> &ranges)
{
    fragments.clear();
    for (const auto &range : ranges)
        fragments.push_back(Fragment{range.first, range.second, int64_t(fragments.size()), 0, 0});
    if (!ranges.empty()) {
        beginTimeMs = ranges.front().first;
        endTimeMs = ranges.back().second;
    }
}

ComponentRef<IArchiveVideoSource> FakeArchive::source()
{
    return velt::makeRef<IArchiveVideoSource>(new FakeSource(this), "fake archive video source");
}

ComponentRef<IArchiveReader> FakeArchive::reader()
{
    return velt::makeRef<IArchiveReader>(new FakeReader(this), "fake archive reader");
}

std::vector<int64_t> FakeArchive::feedTimes() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _feedTimes;
}

int FakeArchive::blockSourceCalls() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _blockSourceCalls;
}

int FakeArchive::queuesMade() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _queuesMade;
}

std::string FakeArchive::firstQueueSetup() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _firstQueueSetup;
}

void FakeArchive::recordFeed(int64_t timeMs, const ComponentRef<IEncodedDataQueue> &queue)
{
    int feedIndex;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        feedIndex = int(_feedTimes.size());
        _feedTimes.push_back(timeMs);
    }
    auto *fake = dynamic_cast<FakeEncodedDataQueue *>(queue.get());
    if (!fake)
        return;
    if (feedPolicy) {
        feedPolicy(timeMs, feedIndex, *fake);
        return;
    }
    for (const FakeBlock &block : script) {
        if (block.atMs >= timeMs)
            fake->push(block);
    }
}

void FakeArchive::recordBlockSource()
{
    std::lock_guard<std::mutex> lock(_mutex);
    ++_blockSourceCalls;
}

void FakeArchive::recordSetup(int queueSerial, const std::string &call)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (queueSerial != 1)
        return;
    if (!_firstQueueSetup.empty())
        _firstQueueSetup += ' ';
    _firstQueueSetup += call;
}

void FakeArchive::recordRead(bool delivered)
{
    ++_reads;
    if (delivered)
        ++_delivered;
}

bool FakeEncodedDataQueue::readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs,
                                     int64_t *scratch, ReadCursor *cursor, int32_t a, int32_t b,
                                     int64_t *reserved1, int64_t *reserved2)
{
    // The engine always passes these; anything else is a broken call.
    if (!cursor || a != 0 || b != 1 || reserved1 || reserved2 || !scratch)
        std::abort();
    FakeBlock block;
    if (!_blocks.empty()) {
        block = _blocks.front();
        _blocks.pop_front();
    } else if (!_generator || !_generator(&block)) {
        _archive->recordRead(false);
        return false;
    }
    *data = block.data;
    *streamNumber = block.streamNumber;
    *key = block.key;
    *timeMs = block.timeMs;
    *scratch = 0;
    cursor->offset++;
    _archive->recordRead(true);
    return true;
}

void FakeEncodedDataQueue::setMaxBlocks(int32_t value)
{
    _archive->recordSetup(_serial, "maxBlocks(" + std::to_string(value) + ")");
}

void FakeEncodedDataQueue::setMaxBytes(int32_t value)
{
    _archive->recordSetup(_serial, "maxBytes(" + std::to_string(value) + ")");
}

void FakeEncodedDataQueue::setMode(int32_t value) { _archive->recordSetup(_serial, "mode(" + std::to_string(value) + ")"); }

}  // namespace testsupport
