// What the recorder writes, read back: where a feed starts, what it
// delivers and how it ends (key blocks of both streams, fragment edges, gaps,
// markers), on several threads at once. The queue's answers and the fragment
// list are seen through every export of a real archive.
#include "tests/client/archive/ArchiveTestUtil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace archivetest;

namespace {

TEST(FeedTest, StartsAtTheLatestVideoKeyFrameOfTheFragmentHoldingTheTime)
{
    const int64_t D = 1000 + 24 * 3600 * 1000;  // the second fragment starts a day later
    const std::vector<std::vector<Block>> fragments{
        // The audio block at 1080 before the key frame shares its time: a file
        // that begins at the key frame leaves it to the file before.
        {video(1000, true), audio(1010), video(1040, false), audio(1050), audio(1075), audio(1080), video(1080, true),
         audio(1080), video(1120, false), audio(1130), video(1160, false)},
        {video(D, false), audio(D + 5), video(D + 10, true), video(D + 50, false)},
        {audio(D + 10000), audio(D + 10020), audio(D + 10040)},
    };
    QTemporaryDir tmp;
    record(tmp.path() + "/a", fragments);
    ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
    ASSERT_TRUE(reader);
    const struct {
        const char *what;
        int64_t timeMs;
        size_t fragment, first;  // the feed: that fragment from that block, then the next one's start as marker
    } cases[] = {
        {"before the first fragment", 1, 0, 0},
        {"at the first block", 1000, 0, 0},
        {"at an audio block between key frames", 1075, 0, 0},
        {"just before a key frame", 1079, 0, 0},
        {"exactly at a key frame, after audio of its time", 1080, 0, 6},
        {"at the last block", 1160, 0, 6},
        {"exactly at a fragment's end", 1161, 1, 0},
        {"in a gap of a day", 5000, 1, 0},
        {"just before the next fragment", D - 1, 1, 0},
        {"before a fragment's first key frame: its first block, not the earlier fragment", D + 7, 1, 0},
        {"at a fragment's last block", D + 50, 1, 2},
        {"inside an audio-only fragment", D + 10025, 2, 1},
        {"at the last block of the archive", D + 10040, 2, 2},
        {"after the last fragment: the end marker alone", D + 10041, 3, 0},
        {"just before the end marker's time", kEndMarkerMs - 1, 3, 0},
    };
    // Four readers at once (the player and exports read one archive), while
    // the reader that started them is released.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([reader, &cases, &fragments] {
            for (const auto &c : cases) {
                std::vector<Block> expected;
                if (c.fragment < fragments.size())
                    expected.assign(fragments[c.fragment].begin() + long(c.first), fragments[c.fragment].end());
                expected.push_back(marker(c.fragment + 1 < fragments.size() ? fragments[c.fragment + 1][0].timeMs : kEndMarkerMs));
                EXPECT_EQ(feed(*reader, c.timeMs), expected) << c.what;
            }
        });
    }
    reader.reset();
    for (std::thread &t : threads)
        t.join();
}

// The queue's read-ahead thread: a queue fed anew while it reads ahead
// delivers the new feed alone, whole and in order; one released while it
// reads ahead ends at once; one never fed has nothing.
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

}  // namespace
