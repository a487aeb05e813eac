// Where a feed starts, what it delivers and how it ends (key blocks of both
// streams, fragment edges, gaps, markers), readers on several threads, and
// what the recorder refuses. The queue's answers and the fragment list are
// seen through every export of a real archive.
#include "tests/client/archive/ArchiveTestUtil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace archivetest;

namespace {

constexpr int64_t kDayMs = 24 * 3600 * 1000;
constexpr int64_t D = 1000 + kDayMs;  // the second fragment starts a day later

const std::vector<std::vector<Block>> &fragments()
{
    static const std::vector<std::vector<Block>> recorded{
        // The audio block at 1080 before the key frame shares its time: a file
        // that begins at the key frame leaves it to the file before.
        {video(1000, true), audio(1010), video(1040, false), audio(1050), audio(1075), audio(1080), video(1080, true),
         audio(1080), video(1120, false), audio(1130), video(1160, false)},
        {video(D, false), audio(D + 5), video(D + 10, true), video(D + 50, false)},
        {audio(D + 10000), audio(D + 10020), audio(D + 10040)},
    };
    return recorded;
}

class FeedTest : public testing::Test {
protected:
    void SetUp() override
    {
        record(_tmp.path() + "/a", fragments());
        _reader = openReader(_tmp.path() + "/a");
        ASSERT_TRUE(_reader);
    }

    // Blocks of fragment `f` from its block `first` on, then the marker; past
    // the last fragment only the end marker.
    static std::vector<Block> from(size_t f, size_t first)
    {
        const size_t n = fragments().size();
        std::vector<Block> out;
        if (f < n)
            out.assign(fragments()[f].begin() + long(first), fragments()[f].end());
        out.push_back(marker(f + 1 < n ? fragments()[f + 1].front().timeMs : kEndMarkerMs));
        return out;
    }

    QTemporaryDir _tmp;
    ComponentRef<IArchiveReader> _reader;
};

TEST_F(FeedTest, StartsAtTheLatestVideoKeyFrameOfTheFragmentHoldingTheTime)
{
    const struct {
        const char *what;
        int64_t timeMs;
        size_t fragment, first;
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
        {"after the last fragment", D + 10041, 3, 0},
        {"just before the end marker's time", kEndMarkerMs - 1, 3, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(feed(*_reader, c.timeMs), from(c.fragment, c.first)) << c.what;
}

// What the exporter does (read to a marker, feed again at its time) on
// several threads at once, while the source that opened the archive and the
// reader that started them are released.
TEST_F(FeedTest, ReadersOnSeveralThreadsOutliveTheSource)
{
    std::vector<Block> expected;
    for (const std::vector<Block> &fragment : fragments())
        expected.insert(expected.end(), fragment.begin(), fragment.end());
    for (int round = 0; round < 5; ++round) {
        ComponentRef<IArchiveReader> reader = openReader(_tmp.path() + "/a");
        ASSERT_TRUE(reader);
        std::vector<std::vector<Block>> results(4);
        std::vector<std::thread> threads;
        for (auto &result : results)
            threads.emplace_back([reader, &result] { result = readToEnd(*reader); });
        reader.reset();
        for (std::thread &t : threads)
            t.join();
        for (const auto &result : results)
            EXPECT_EQ(result, expected);
    }
}

TEST(ArchiveTest, RecorderRefusesBlocksThatWouldBreakTheOrderAndKeepsWhatCameBefore)
{
    QTemporaryDir tmp;
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(tmp.path() + "/a", &error);
    ASSERT_TRUE(recorder);
    EXPECT_FALSE(recorder->append(V, 1000, true, payloadFor(V, 1000), &error)) << "no fragment begun";
    ASSERT_TRUE(recorder->beginFragment(&error));
    // Equal times are fine, earlier ones are not, nor an unknown stream or a
    // payload without room for its code; a new fragment starts after the last block.
    const std::pair<Block, bool> appended[] = {
        {video(1000, true), true}, {audio(1010), true}, {video(1010, false), true}, {video(1009, false), false},
        {audio(999), false}, {Block{3, 1020, false, payloadFor(V, 1020)}, false}, {Block{V, 1020, false, "H26"}, false},
        {video(0, false), false}};
    for (const auto &[b, accepted] : appended)
        EXPECT_EQ(recorder->append(b.stream, b.timeMs, b.key, b.payload, &error), accepted) << b;
    ASSERT_TRUE(recorder->beginFragment(&error));
    EXPECT_FALSE(recorder->append(V, 1010, true, payloadFor(V, 1010), &error));
    ASSERT_TRUE(recorder->append(V, 1011, true, payloadFor(V, 1011), &error) && recorder->close(&error));
    EXPECT_EQ(feed(*openReader(tmp.path() + "/a"), 1000),
              (std::vector<Block>{video(1000, true), audio(1010), video(1010, false), marker(1011)}));
}

}  // namespace
