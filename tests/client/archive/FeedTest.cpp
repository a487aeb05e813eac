// Where a feed starts, what it delivers and how it ends: key blocks of both
// streams, fragment edges, gaps, markers, and the fragment index that goes
// with them.
#include "tests/client/archive/ArchiveTestUtil.h"

#include "client/archive/Format.h"
#include "plugin/host/Guids.h"

#include <QFile>

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;

namespace {

constexpr int64_t kDayMs = 24 * 3600 * 1000;
constexpr int64_t D = 1000 + kDayMs;  // the second fragment starts a day later

// The archive as recorded, as a reader must see it (every audio block key).
const std::vector<std::vector<Block>> &fragments()
{
    static const std::vector<std::vector<Block>> recorded{
        {video(1000, true), audio(1010), video(1040, false), audio(1050), audio(1075), video(1080, true),
         video(1120, false), audio(1130), video(1160, false)},
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
    void TearDown() override { _reader.reset(); }

    // Blocks of fragment `f` from its block `first` on, then the marker.
    static std::vector<Block> from(size_t f, size_t first)
    {
        const std::vector<Block> &blocks = fragments()[f];
        std::vector<Block> out(blocks.begin() + long(first), blocks.end());
        out.push_back(marker(f + 1 < fragments().size() ? fragments()[f + 1].front().timeMs : kEndMarkerMs));
        return out;
    }

    QTemporaryDir _tmp;
    ComponentRef<IArchiveReader> _reader;
};

TEST_F(FeedTest, StartsAtTheLatestVideoKeyFrameOfTheFragmentHoldingTheTime)
{
    struct Case {
        const char *what;
        int64_t timeMs;
        size_t fragment, first;
    };
    const Case cases[] = {
        {"before the first fragment", 1, 0, 0},
        {"at the first block", 1000, 0, 0},
        {"between key frames", 1050, 0, 0},
        {"at an audio block between key frames: the key frame before it", 1075, 0, 0},
        {"just before a key frame", 1079, 0, 0},
        {"exactly at a video key frame", 1080, 0, 5},
        {"at the last block", 1160, 0, 5},
        {"exactly at a fragment's end", 1161, 1, 0},
        {"in a gap of a day", 5000, 1, 0},
        {"just before the next fragment", D - 1, 1, 0},
        {"before a fragment's first key block: its first block, not the earlier fragment", D + 2, 1, 0},
        {"after an audio block, before the fragment's first key frame", D + 7, 1, 0},
        {"at a fragment's last block", D + 50, 1, 2},
        {"inside an audio-only fragment", D + 10025, 2, 1},
        {"at the last block of the archive", D + 10040, 2, 2},
    };
    for (const Case &c : cases)
        EXPECT_EQ(feed(*_reader, c.timeMs), from(c.fragment, c.first)) << c.what;
}

TEST_F(FeedTest, AfterTheLastFragmentOnlyTheEndMarkerComes)
{
    for (int64_t t : {D + 10041, D + 10 * kDayMs, kEndMarkerMs - 1})
        EXPECT_EQ(feed(*_reader, t), std::vector<Block>{marker(kEndMarkerMs)}) << t;
}

TEST_F(FeedTest, FollowingTheMarkersReadsEveryBlockWithOneFeedPerFragment)
{
    // What the exporter does: read to the marker, feed again at its time.
    const uint64_t feedsBefore = archive::feedCount();
    const std::vector<Block> all = readToEnd(*_reader);
    EXPECT_EQ(archive::feedCount() - feedsBefore, fragments().size());
    std::vector<Block> expected;
    for (const auto &fragment : fragments())
        expected.insert(expected.end(), fragment.begin(), fragment.end());
    EXPECT_EQ(all, expected);
}

TEST_F(FeedTest, QueueAnswersFalseWhenUnfedAndAfterItsMarker)
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

    ComponentRef<IBlockSource> source = _reader->blockSource();
    source->feed(D + 10040, queue);
    ASSERT_TRUE(read());
    EXPECT_EQ(time, D + 10040);
    ASSERT_TRUE(read());
    EXPECT_TRUE(data.isEmpty());
    EXPECT_EQ(stream, 0u);
    EXPECT_EQ(time, kEndMarkerMs);
    EXPECT_FALSE(read());
    EXPECT_FALSE(read());

    // The same queue fed again starts over.
    source->feed(1160, queue);
    ASSERT_TRUE(read());
    EXPECT_EQ(time, 1080);
    EXPECT_TRUE(key);
}

TEST_F(FeedTest, FragmentIndexAndReaderTimes)
{
    ComponentRef<IFragmentIndex> index = _reader->fragmentIndex();
    ASSERT_TRUE(index);
    std::vector<Fragment> list;
    int status = -1;
    index->fragments(&list, &status);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].start, 1000);
    EXPECT_EQ(list[0].end, 1161);
    EXPECT_EQ(list[0].blockCount, 9);
    EXPECT_EQ(list[1].start, D);
    EXPECT_EQ(list[2].end, D + 10041);

    Fragment f{};
    EXPECT_TRUE(index->fragmentAt(1160, &f));
    EXPECT_EQ(f.start, 1000);
    EXPECT_FALSE(index->fragmentAt(1161, &f)) << "end is exclusive";
    EXPECT_FALSE(index->fragmentAt(999, &f));
    EXPECT_TRUE(index->fragmentAt(D, &f));
    EXPECT_EQ(f.end, D + 51);

    int64_t first = 0, last = 0;
    int32_t count = 0;
    ASSERT_TRUE(index->timeBounds(&first, &last, &count));
    EXPECT_EQ(first, 1000);
    EXPECT_EQ(last, D + 10040);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(_reader->beginTime(), 1000);
    EXPECT_EQ(_reader->endTime(), D + 10040);
}

TEST(FeedEdgeTest, EqualTimesKeepRecordingOrderAndAFeedStartsAtTheKeyFrameItself)
{
    QTemporaryDir tmp;
    // The audio block before the key frame shares its time: a file that
    // begins at the key frame leaves it to the file before (no block twice).
    record(tmp.path() + "/a", {{video(1000, true), audio(1020), audio(1040), video(1040, true), audio(1040),
                                video(1080, false)}});
    ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
    ASSERT_TRUE(reader);
    const std::vector<Block> fromKeyTime{video(1040, true), audio(1040), video(1080, false), marker(kEndMarkerMs)};
    EXPECT_EQ(feed(*reader, 1040), fromKeyTime);
    EXPECT_EQ(feed(*reader, 1079), fromKeyTime);
    EXPECT_EQ(feed(*reader, 1039).front(), video(1000, true));
}

TEST(FeedEdgeTest, AnOlderIndexThatListsAudioBlocksIsRebuiltAndFeedsStillStartAtKeyFrames)
{
    QTemporaryDir tmp;
    const QString dir = tmp.path() + "/a";
    record(dir, {{video(1000, true), audio(1010), video(1040, false), audio(1070), video(1080, true)}});
    // An older recorder listed the last audio block before a key frame as a
    // key block, in a version 1 index.
    namespace format = archive::format;
    QFile index(dir + "/00000001.idx");
    ASSERT_TRUE(index.open(QIODevice::ReadWrite));
    const QByteArray stored = index.readAll();
    format::IndexHeader header;
    ASSERT_TRUE(format::decodeIndexHeader(stored.constData(), stored.size(), &header));
    ASSERT_EQ(header.keyCount, 2);
    const format::IndexEntry keyFrame = format::decodeIndexEntry(stored.constData() + format::kIndexHeaderSizeBytes + 16);
    const int64_t audioOffset = keyFrame.offsetBytes - format::kBlockHeaderSizeBytes - payloadFor(A, 1070).size();
    QByteArray entries = stored.mid(format::kIndexHeaderSizeBytes, 16);
    entries.resize(48);
    format::encodeIndexEntry({1070, audioOffset}, entries.data() + 16);
    format::encodeIndexEntry(keyFrame, entries.data() + 32);
    header.keyCount = 3;
    header.entriesCrc = format::crc32Of(entries.constData(), size_t(entries.size()));
    QByteArray old = format::encodeIndexHeader(header);
    old[8] = 1;  // the version, then the header's own CRC
    const uint32_t crc = format::crc32Of(old.constData(), 92);
    for (int i = 0; i < 4; ++i)
        old[92 + i] = char(crc >> (8 * i));
    ASSERT_TRUE(index.resize(0) && index.seek(0) && index.write(old + entries) == old.size() + entries.size());
    index.close();

    ComponentRef<IArchiveReader> reader = openReader(dir);
    ASSERT_TRUE(reader);
    EXPECT_EQ(feed(*reader, 1075).front(), video(1000, true));
    EXPECT_EQ(feed(*reader, 1080).front(), video(1080, true));
}

TEST(FeedEdgeTest, AnEmptyArchiveHasNoBoundsAndOnlyTheEndMarker)
{
    QTemporaryDir tmp;
    record(tmp.path() + "/a", {});
    ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
    ASSERT_TRUE(reader);
    int64_t first = 0, last = 0;
    int32_t count = 0;
    EXPECT_FALSE(reader->fragmentIndex()->timeBounds(&first, &last, &count));
    std::vector<Fragment> list;
    reader->fragmentIndex()->fragments(&list, nullptr);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(feed(*reader, 1000), std::vector<Block>{marker(kEndMarkerMs)});
}

}  // namespace
