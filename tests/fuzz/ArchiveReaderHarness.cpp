// The archive reader over damaged folders: the tools' full check, then the
// components the export plug-in reads through, fed from the start and from
// the middle of every fragment, following each gap marker to the end.
#include "client/archive/Format.h"
#include "tests/client/archive/ArchiveTestUtil.h"
#include "tests/fuzz/Harness.h"

#include <algorithm>

namespace fuzzharness {

namespace {

namespace format = archive::format;

// Three fragments are enough for gaps before, between and after.
constexpr int kMaxFiles = 6;
// Each fragment holds at most 64 KiB, so a feed that delivers more than this
// many blocks is going round in circles.
constexpr int kMaxBlocksPerFeed = 3 * 65536 / format::kBlockHeaderSizeBytes + 16;

// The blocks from `startMs` to the end marker; crossing a gap takes a new
// feed at the marker's time. feed() copies every payload, so a payload
// reaching outside the bytes read shows under ASan.
int64_t readToEnd(IArchiveReader &reader, int64_t startMs)
{
    int64_t delivered = 0;
    for (int64_t t = startMs;;) {
        const std::vector<archivetest::Block> blocks = archivetest::feed(reader, t, kMaxBlocksPerFeed);
        if (blocks.empty() || !blocks.back().payload.isEmpty())
            brokenPromise("a feed that does not end with a marker within the archive's blocks");
        if (blocks.back().stream != 0)
            brokenPromise("an empty block that is not a marker");
        if (std::any_of(blocks.begin(), blocks.end() - 1, [](const archivetest::Block &b) { return b.payload.isEmpty(); }))
            brokenPromise("a queue that goes on after its marker");
        delivered += int64_t(blocks.size()) - 1;
        if (blocks.back().timeMs >= format::kEndMarkerTimeMs)
            return delivered;
        if (blocks.back().timeMs <= t)
            brokenPromise("a gap marker that does not move forward");
        t = blocks.back().timeMs;
    }
}

}  // namespace

int64_t readArchive(const uint8_t *data, size_t sizeBytes)
{
    const QString dir = freshFolder(QStringLiteral("archive"));
    writeFile(dir + QLatin1Char('/') + QLatin1String(format::kMarkerFileName), format::kMarkerText);
    const auto files = chunks(data, sizeBytes, 0xffff);
    for (int i = 0; i < kMaxFiles && i < int(files.size()); ++i)
        writeFile(dir + QLatin1Char('/') + (i % 2 ? format::indexFileName(i / 2 + 1) : format::fragmentFileName(i / 2 + 1)),
                  files[size_t(i)].second);
    std::vector<archive::FragmentInfo> described;
    QString error;
    archive::describe(dir, &described, &error);

    archive::registerComponents();
    ComponentRef<IArchiveVideoSource> source = archive::openSource(dir, &error);
    ComponentRef<IArchiveReader> reader = source ? source->archiveReader() : ComponentRef<IArchiveReader>();
    if (!reader || !reader->blockSource())
        return -1;
    std::vector<Fragment> fragments;
    int64_t firstMs = 0, lastMs = 0;
    int32_t count = 0;
    if (ComponentRef<IFragmentIndex> index = reader->fragmentIndex()) {
        index->fragments(&fragments, nullptr);
        index->timeBounds(&firstMs, &lastMs, &count);
    }
    const int64_t delivered = readToEnd(*reader, reader->beginTime());
    // From inside a fragment the feed searches the key table for its start.
    for (const Fragment &fragment : fragments)
        readToEnd(*reader, fragment.start + (fragment.end - fragment.start) / 2);
    return delivered;
}

}  // namespace fuzzharness
