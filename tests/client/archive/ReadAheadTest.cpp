// The queue's read-ahead thread: a queue fed anew while it reads ahead
// delivers the new feed alone, whole and in order; one released while it
// reads ahead ends at once; one never fed has nothing.
#include "tests/client/archive/ArchiveTestUtil.h"
#include "plugin/host/Guids.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;

TEST(ReadAheadTest, FeedingAnewDeliversOnlyTheNewFeed)
{
    QTemporaryDir tmp;
    std::vector<Block> blocks;  // of some 32 KiB: the read-ahead holds a few dozen
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(i % 3 == 2 ? audio(1000 + i * 20) : video(1000 + i * 20, i % 30 == 0));
        blocks.back().payload += QByteArray(32 << 10, char('a' + i % 26));
    }
    record(tmp.path() + "/a", {blocks});
    ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
    const std::vector<Block> whole = feed(*reader, 1000);
    ASSERT_EQ(whole.size(), blocks.size() + 1);  // and the marker
    // Blocks taken from a feed at 1000 before the queue is fed at another time.
    for (const auto &[takenFirst, againMs] : {std::pair{0, 1000}, {1, 3400}, {40, 1000}, {200, 1600}, {301, 5000}}) {
        ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
        reader->blockSource()->feed(1000, queue);
        EXPECT_EQ(take(*queue, takenFirst), std::vector<Block>(whole.begin(), whole.begin() + takenFirst));
        reader->blockSource()->feed(againMs, queue);
        EXPECT_EQ(take(*queue, 100000), feed(*reader, againMs)) << takenFirst;
    }
    for (int round = 0; round < 20; ++round) {
        ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
        reader->blockSource()->feed(1000 + round * 100, queue);
        take(*queue, round % 3);
    }
    ComponentRef<IEncodedDataQueue> unfed(guids::kEncodedDataQueue);
    EXPECT_TRUE(take(*unfed, 1).empty());
}
