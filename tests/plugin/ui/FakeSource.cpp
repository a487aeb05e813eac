#include "tests/plugin/ui/FakeSource.h"

#include "client/runtime/Runtime.h"

namespace fakes {

namespace {

using Bounds = std::shared_ptr<ArchiveBounds>;

class Index : public IFragmentIndex {
public:
    explicit Index(const Bounds &bounds) : _bounds(bounds) {}
    void fragments(std::vector<Fragment> *, int *) override {}
    bool fragmentAt(int64_t, Fragment *) override { return false; }
    bool timeBounds(int64_t *firstMs, int64_t *lastMs, int32_t *count) override
    {
        *firstMs = _bounds->firstMs;
        *lastMs = _bounds->lastMs;
        *count = 1;
        return _bounds->boundsKnown;
    }

private:
    Bounds _bounds;
};

class Reader : public IArchiveReader {
public:
    explicit Reader(const Bounds &bounds) : _bounds(bounds) {}
    int64_t beginTime() override { return _bounds->firstMs; }
    int64_t endTime() override { return _bounds->lastMs; }
    ComponentRef<IPolymorph> hold() override { return ComponentRef<IPolymorph>(); }
    ComponentRef<IFragmentIndex> fragmentIndex() override
    {
        if (!_bounds->hasIndex)
            return ComponentRef<IFragmentIndex>();
        return velt::makeRef<IFragmentIndex>(new Index(_bounds), "fakes::Index");
    }
    ComponentRef<IBlockSource> blockSource() override { return ComponentRef<IBlockSource>(); }

private:
    Bounds _bounds;
};

ComponentRef<IArchiveReader> readerOf(const Bounds &bounds)
{
    if (!bounds->hasReader)
        return ComponentRef<IArchiveReader>();
    return velt::makeRef<IArchiveReader>(new Reader(bounds), "fakes::Reader");
}

class Video : public IVideoSource {
public:
    explicit Video(const Bounds &bounds) : _bounds(bounds) {}
    QString channelName() const override { return QStringLiteral("fake"); }
    ComponentRef<IArchiveReader> archiveReader() override { return readerOf(_bounds); }

private:
    Bounds _bounds;
};

class Source : public IArchiveVideoSource {
public:
    explicit Source(const Bounds &bounds) : _bounds(bounds) {}
    QString channelName() const override { return QStringLiteral("fake"); }
    ComponentRef<IArchiveReader> archiveReader() override { return readerOf(_bounds); }
    ComponentRef<IVideoSource> videoSource() override
    {
        return velt::makeRef<IVideoSource>(new Video(_bounds), "fakes::Video");
    }

private:
    Bounds _bounds;
};

}  // namespace

ComponentRef<IArchiveVideoSource> archiveSource(const std::shared_ptr<ArchiveBounds> &bounds)
{
    return velt::makeRef<IArchiveVideoSource>(new Source(bounds), "fakes::Source");
}

}  // namespace fakes
