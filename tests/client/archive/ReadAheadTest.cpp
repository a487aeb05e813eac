// The queue's read-ahead thread: a queue fed anew while its thread reads
// ahead delivers the new feed alone, whole and in order, and a queue
// released while it reads ahead ends at once.
#include "tests/client/archive/ArchiveTestUtil.h"
#include "plugin/host/Guids.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;

namespace {

std::vector<Block> take(IEncodedDataQueue &queue, int limit)
{
    std::vector<Block> blocks;
    QByteArray data;
    uint32_t stream = 0;
    bool key = false;
    int64_t time = 0, scratch = 0;
    ReadCursor cursor{0, 0, true};
    while (int(blocks.size()) < limit && queue.readBlock(&data, &stream, &key, &time, &scratch, &cursor, 0, 1, nullptr, nullptr))
        blocks.push_back(Block{uint8_t(stream), time, key, data});
    return blocks;
}

TEST(ReadAheadTest, FeedingAnewDeliversOnlyTheNewFeed)
{
    QTemporaryDir tmp;
    // Blocks of some 32 KiB: the read-ahead holds a few dozen of them.
    std::vector<Block> blocks;
    for (int i = 0; i < 300; ++i) {
        Block block = i % 3 == 2 ? audio(1000 + i * 20) : video(1000 + i * 20, i % 30 == 0);
        block.payload += QByteArray(32 << 10, char('a' + i % 26));
        blocks.push_back(block);
    }
    record(tmp.path() + "/a", {blocks});
    ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
    ASSERT_TRUE(reader);
    const std::vector<Block> whole = feed(*reader, 1000);
    ASSERT_EQ(whole.size(), blocks.size() + 1);  // and the marker

    struct Row {
        int takenFirst;   // blocks taken from the first feed
        int64_t againMs;  // the time fed next
    };
    for (const Row row : {Row{0, 1000}, Row{1, 3400}, Row{40, 1000}, Row{200, 1600}, Row{301, 5000}}) {
        SCOPED_TRACE(row.takenFirst);
        ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
        ASSERT_TRUE(queue);
        reader->blockSource()->feed(1000, queue);
        const std::vector<Block> first = take(*queue, row.takenFirst);
        EXPECT_EQ(first, std::vector<Block>(whole.begin(), whole.begin() + row.takenFirst));
        reader->blockSource()->feed(row.againMs, queue);
        EXPECT_EQ(take(*queue, 100000), feed(*reader, row.againMs));
    }
    // Released while its thread has more to read than it may hold.
    for (int round = 0; round < 20; ++round) {
        ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
        reader->blockSource()->feed(1000 + round * 100, queue);
        if (round % 2)
            take(*queue, round);
    }
    // A queue never fed has nothing, at once.
    ComponentRef<IEncodedDataQueue> unfed(guids::kEncodedDataQueue);
    EXPECT_TRUE(take(*unfed, 1).empty());
}

}  // namespace
