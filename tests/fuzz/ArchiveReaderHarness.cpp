// The archive reader over damaged folders: the tools' full check, then the
// components the export plug-in reads through, fed from the start and from
// the middle of every fragment, following each gap marker to the end.
#include "client/archive/ArchiveComponents.h"
#include "client/archive/Format.h"
#include "plugin/host/Guids.h"
#include "plugin/host/Sources.h"
#include "tests/fuzz/Harness.h"
#include "tests/fuzz/HarnessSupport.h"

#include <vector>

namespace fuzzharness {

namespace {

namespace format = archive::format;

// Three fragments are enough for gaps before, between and after.
constexpr int kMaxFiles = 6;
// Each fragment holds at most 64 KiB, so a feed that delivers more than this
// many blocks is going round in circles.
constexpr int64_t kMaxBlocksPerRead = 3 * 65536 / format::kBlockHeaderSizeBytes + 16;

// Where the payload bytes go, so that reading them is not optimised away.
volatile unsigned g_touched;

// Every block from `startMs` to the end marker; crossing a gap takes a new
// feed at the marker's time.
int64_t readToEnd(IBlockSource &blocks, int64_t startMs)
{
    ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
    if (!queue)
        brokenPromise("the runtime made no encoded data queue");
    queue->setMaxBlocks(-1);
    queue->setMaxBytes(-1);
    queue->setMode(1);
    int64_t feedMs = startMs;
    blocks.feed(feedMs, queue);
    int64_t delivered = 0;
    unsigned checksum = 0;
    for (;;) {
        QByteArray data;
        uint32_t stream = 0;
        bool key = false;
        int64_t timeMs = 0, scratch = 0;
        ReadCursor cursor{0, 0, true};
        if (!queue->readBlock(&data, &stream, &key, &timeMs, &scratch, &cursor, 0, 1, nullptr, nullptr))
            brokenPromise("the queue ran dry before the end marker");
        if (!data.isEmpty()) {
            // Touch every byte so that a payload reaching outside the bytes read shows under ASan.
            for (char c : data)
                checksum += uint8_t(c);
            if (++delivered > kMaxBlocksPerRead)
                brokenPromise("a feed delivers more blocks than the archive holds");
            continue;
        }
        if (stream != 0)
            brokenPromise("an empty block that is not a marker");
        if (timeMs >= format::kEndMarkerTimeMs)
            break;
        if (timeMs <= feedMs)
            brokenPromise("a gap marker that does not move forward");
        feedMs = timeMs;
        blocks.feed(feedMs, queue);
    }
    g_touched = checksum;
    return delivered;
}

}  // namespace

int64_t readArchive(const uint8_t *data, size_t sizeBytes)
{
    const QString dir = freshFolder(QStringLiteral("archive"));
    writeFile(dir + QLatin1Char('/') + QLatin1String(format::kMarkerFileName), format::kMarkerText);
    ChunkReader input(data, sizeBytes);
    for (int i = 0; i < kMaxFiles && !input.atEnd(); ++i) {
        const QByteArray bytes = input.bytes(input.header());
        const int64_t id = i / 2 + 1;
        const QString name = i % 2 == 0 ? format::fragmentFileName(id) : format::indexFileName(id);
        writeFile(dir + QLatin1Char('/') + name, bytes);
    }

    std::vector<archive::FragmentInfo> described;
    QString error;
    archive::describe(dir, &described, &error);

    archive::registerComponents();
    ComponentRef<IArchiveVideoSource> source = archive::openSource(dir, &error);
    ComponentRef<IArchiveReader> reader = source ? source->archiveReader() : ComponentRef<IArchiveReader>();
    if (!reader)
        return -1;
    std::vector<Fragment> fragments;
    if (ComponentRef<IFragmentIndex> index = reader->fragmentIndex()) {
        int status = 0;
        index->fragments(&fragments, &status);
        int64_t firstMs = 0, lastMs = 0;
        int32_t count = 0;
        index->timeBounds(&firstMs, &lastMs, &count);
        for (const Fragment &fragment : fragments) {
            Fragment found{};
            if (!index->fragmentAt(fragment.start, &found) || found.start != fragment.start)
                brokenPromise("a fragment's start is not found in it");
            if (index->fragmentAt(fragment.end, &found) && found.start == fragment.start)
                brokenPromise("a fragment's end is found in it");
        }
    }
    ComponentRef<IBlockSource> blocks = reader->blockSource();
    if (!blocks)
        return -1;
    const int64_t delivered = readToEnd(*blocks, reader->beginTime());
    // From inside a fragment the feed searches the key table for its start.
    for (const Fragment &fragment : fragments)
        readToEnd(*blocks, fragment.start + (fragment.end - fragment.start) / 2);
    return delivered;
}

}  // namespace fuzzharness
