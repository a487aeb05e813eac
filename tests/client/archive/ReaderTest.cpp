// Where a feed starts, what it delivers and how it ends (key blocks of both
// streams, fragment edges, gaps, markers), the queue, the fragment index and
// what the recorder refuses.
#include "tests/client/archive/ArchiveTestUtil.h"

#include "plugin/host/Guids.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

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

TEST_F(FeedTest, QueueAnswersFalseWhenUnfedStartsOverWhenFedAgainAndKeepsItsPayloads)
{
    ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
    ASSERT_TRUE(queue);
    QByteArray data;
    uint32_t stream = 99;
    bool key = false;
    int64_t time = 0, scratch = 0;
    ReadCursor cursor{0, 0, true};
    const auto read = [&] { return queue->readBlock(&data, &stream, &key, &time, &scratch, &cursor, 0, 1, nullptr, nullptr); };
    EXPECT_FALSE(read());
    _reader->blockSource()->feed(1160, queue);
    ASSERT_TRUE(read());
    EXPECT_TRUE(time == 1080 && key && stream == V);
    _reader->blockSource()->feed(D + 10020, queue);
    // The payloads stay readable once the archive is released.
    _reader.reset();
    ASSERT_TRUE(read());
    const QByteArray kept = data;  // shares the payload's bytes
    ASSERT_TRUE(read());
    EXPECT_EQ(kept, payloadFor(A, D + 10020));
    EXPECT_EQ(data, payloadFor(A, D + 10040));
    ASSERT_TRUE(read());
    EXPECT_TRUE(data.isEmpty() && stream == 0 && time == kEndMarkerMs);
    EXPECT_FALSE(read());
    EXPECT_FALSE(read());
}

TEST_F(FeedTest, FragmentListAndBoundsSayWhereTheRecordingsAre)
{
    std::vector<Fragment> list;
    _reader->fragmentIndex()->fragments(&list, nullptr);
    ASSERT_EQ(list.size(), fragments().size());
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].start, fragments()[i].front().timeMs);
        EXPECT_EQ(list[i].end, fragments()[i].back().timeMs + 1) << "one past the last block";
    }
    int64_t first = 0, last = 0;
    int32_t count = 0;
    ASSERT_TRUE(_reader->fragmentIndex()->timeBounds(&first, &last, &count));
    EXPECT_EQ((std::vector<int64_t>{first, last, count, _reader->beginTime(), _reader->endTime()}),
              (std::vector<int64_t>{1000, D + 10040, 3, 1000, D + 10040}));
}

TEST(ArchiveTest, RecorderRefusesBlocksThatWouldBreakTheOrderAndKeepsWhatCameBefore)
{
    QTemporaryDir tmp;
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(tmp.path() + "/a", &error);
    ASSERT_TRUE(recorder);
    EXPECT_FALSE(recorder->append(V, 1000, true, payloadFor(V, 1000), &error)) << "no fragment begun";
    ASSERT_TRUE(recorder->beginFragment(&error) && recorder->append(V, 1000, true, payloadFor(V, 1000), &error) &&
                recorder->append(A, 1010, false, payloadFor(A, 1010), &error) &&
                recorder->append(V, 1010, false, payloadFor(V, 1010), &error));  // equal times are fine
    const Block refused[] = {video(1009, false), audio(999), Block{3, 1020, false, payloadFor(V, 1020)},
                             Block{V, 1020, false, "H26"}, video(0, false)};
    for (const Block &b : refused)
        EXPECT_FALSE(recorder->append(b.stream, b.timeMs, false, b.payload, &error)) << b;
    // A new fragment must start after the last block.
    ASSERT_TRUE(recorder->beginFragment(&error));
    EXPECT_FALSE(recorder->append(V, 1010, true, payloadFor(V, 1010), &error));
    ASSERT_TRUE(recorder->append(V, 1011, true, payloadFor(V, 1011), &error) && recorder->close(&error));
    ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
    ASSERT_TRUE(reader);
    EXPECT_EQ(feed(*reader, 1000), (std::vector<Block>{video(1000, true), audio(1010), video(1010, false), marker(1011)}));
}

}  // namespace
