// The archive as client components: the archive video source, its reader,
// fragment index, block source and hold, all sharing one opened
// ArchiveFolder; and the registration of the encoded data queue.
//
// Ownership: every component holds the ArchiveFolder through a shared_ptr; the
// source holds its reader through a ComponentRef; nothing points back, so
// there are no reference cycles. References are made with velt::makeRef (one
// traced counter block per object); the source's videoSource() shares the
// source's own block.
#include "client/archive/ArchiveComponents.h"

#include "client/archive/ArchiveFolder.h"
#include "client/archive/EncodedDataQueue.h"
#include "client/runtime/Runtime.h"
#include "client/services/NamedChannel.h"

#include <QDir>
#include <QtDebug>
#include <atomic>
#include <mutex>

namespace archive {

namespace {

std::atomic<uint64_t> g_feedCount{0};

using Archive = std::shared_ptr<const ArchiveFolder>;

class Hold : public IPolymorph {
public:
    explicit Hold(Archive archive) : _archive(std::move(archive)) {}

private:
    const Archive _archive;
};

class FragmentIndex : public IFragmentIndex {
public:
    explicit FragmentIndex(Archive archive) : _archive(std::move(archive)) {}

    void fragments(std::vector<Fragment> *out, int *status) override
    {
        for (const std::shared_ptr<FragmentFile> &fragment : _archive->fragments())
            out->push_back(record(*fragment));
        if (status)
            *status = 0;
    }

    void unusedOperation() override {}

    bool timeBounds(int64_t *firstMs, int64_t *lastMs, int32_t *count) override
    {
        const auto &fragments = _archive->fragments();
        if (fragments.empty())
            return false;
        *firstMs = fragments.front()->startMs();
        *lastMs = fragments.back()->lastMs();
        *count = int32_t(fragments.size());
        return true;
    }

private:
    static Fragment record(const FragmentFile &fragment)
    {
        const FragmentFile::Summary &s = fragment.summary();
        return Fragment{fragment.startMs(), fragment.endMs(), s.index.fragmentId, s.fileSizeBytes, s.index.blockCount};
    }

    const Archive _archive;
};

class BlockSource : public IBlockSource {
public:
    explicit BlockSource(Archive archive) : _archive(std::move(archive)) {}

    void feed(int64_t timeMs, ComponentRef<IEncodedDataQueue> queue) override
    {
        g_feedCount.fetch_add(1, std::memory_order_relaxed);
        auto *archiveQueue = dynamic_cast<EncodedDataQueue *>(queue.get());
        if (!archiveQueue) {
            qWarning("archive: feed into a queue that is not the archive's encoded data queue");
            return;
        }
        archiveQueue->attach(std::make_unique<BlockCursor>(_archive, timeMs));
    }

private:
    const Archive _archive;
};

class Reader : public IArchiveReader {
public:
    explicit Reader(Archive archive) : _archive(std::move(archive)) {}

    // -1 for an empty archive.
    int64_t beginTime() override
    {
        return _archive->fragments().empty() ? -1 : _archive->fragments().front()->startMs();
    }
    int64_t endTime() override
    {
        return _archive->fragments().empty() ? -1 : _archive->fragments().back()->lastMs();
    }
    ComponentRef<IPolymorph> hold() override { return velt::makeRef<IPolymorph>(new Hold(_archive), "archive.Hold"); }
    ComponentRef<IFragmentIndex> fragmentIndex() override
    {
        return velt::makeRef<IFragmentIndex>(new FragmentIndex(_archive), "archive.FragmentIndex");
    }
    ComponentRef<IBlockSource> blockSource() override
    {
        return velt::makeRef<IBlockSource>(new BlockSource(_archive), "archive.BlockSource");
    }

private:
    const Archive _archive;
};

// One object for all the source interfaces. It does not own its counter
// block; the block outlives it (the block is freed after the object).
class VideoSource : public IArchiveVideoSource, public clientui::NamedChannel {
public:
    VideoSource(const Archive &archive, const QString &channelName)
        : _channelName(channelName), _reader(velt::makeRef<IArchiveReader>(new Reader(archive), "archive.Reader"))
    {
    }

    static ComponentRef<IArchiveVideoSource> make(const Archive &archive, const QString &channelName)
    {
        auto *source = new VideoSource(archive, channelName);
        ComponentRef<IArchiveVideoSource> ref = velt::makeRef<IArchiveVideoSource>(source, "archive.VideoSource");
        source->_counter = ref._counter;
        return ref;
    }

    QString channelName() const override { return _channelName; }
    ComponentRef<IArchiveReader> archiveReader() override { return _reader; }
    ComponentRef<IVideoSource> videoSource() override
    {
        _counter->strong.fetch_add(1, std::memory_order_seq_cst);
        return ComponentRef<IVideoSource>(static_cast<IVideoSource *>(this), _counter);
    }

private:
    const QString _channelName;
    const ComponentRef<IArchiveReader> _reader;
    RefCounter *_counter = nullptr;  // the block of the references to this object
};

}  // namespace

void registerComponents()
{
    static std::once_flag once;
    std::call_once(once, [] {
        velt::registerFactory(EncodedDataQueue::kGuid,
                              [] { return static_cast<void *>(static_cast<IEncodedDataQueue *>(new EncodedDataQueue)); });
    });
}

ComponentRef<IArchiveVideoSource> openSource(const QString &dir, QString *error)
{
    const Archive archive = ArchiveFolder::open(dir, FragmentFile::Check::Trust, error);
    if (!archive)
        return ComponentRef<IArchiveVideoSource>();
    return VideoSource::make(archive, QDir(archive->dir()).dirName());
}

uint64_t feedCount() { return g_feedCount.load(); }

}  // namespace archive
