// Crashes and damage: fragments cut at every byte, overwritten bytes, blocks
// larger than the reader's window, and indexes that are missing, do not match
// their fragment or are of the older version. What is readable is read.
#include "client/archive/Format.h"
#include "tests/client/ClientTestUtil.h"
#include "tests/client/archive/ArchiveTestUtil.h"
#include "tests/support/MessageCapture.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;
using clienttest::readFile;
namespace format = archive::format;

namespace {

// Where each block of a recorded fragment starts, and where the file ends.
std::vector<int64_t> blockOffsets(const std::vector<Block> &blocks)
{
    std::vector<int64_t> offsets{format::kFragmentHeaderSizeBytes};
    for (const Block &b : blocks)
        offsets.push_back(offsets.back() + format::kBlockHeaderSizeBytes + b.payload.size());
    return offsets;
}

// The first `count` of `blocks`, then the marker.
std::vector<Block> firstOf(const std::vector<Block> &blocks, size_t count, int64_t markerMs = kEndMarkerMs)
{
    std::vector<Block> out(blocks.begin(), blocks.begin() + long(count));
    out.push_back(marker(markerMs));
    return out;
}

std::vector<archive::FragmentInfo> described(const QString &dir)
{
    std::vector<archive::FragmentInfo> fragments;
    QString error;
    EXPECT_TRUE(archive::describe(dir, &fragments, &error)) << error.toStdString();
    return fragments;
}

const std::vector<Block> kFirst{video(1000, true), audio(1010), video(1040, false)};
const std::vector<Block> kCrashed{video(2000, true), audio(2010), video(2040, false),
                                  audio(2050), video(2080, true), video(2120, false)};

class DamageTest : public testing::Test {
protected:
    QString dir() const { return _tmp.filePath(QStringLiteral("a")); }
    QString file(const char *name) const { return QDir(dir()).filePath(QLatin1String(name)); }
    QTemporaryDir _tmp;
};

TEST_F(DamageTest, AFragmentCutAtAnyByteIsReadUpToItsLastCompleteBlock)
{
    record(dir(), {kFirst, kCrashed});
    const QByteArray whole = readFile(file("00000002.frag"));
    const std::vector<int64_t> offsets = blockOffsets(kCrashed);
    ASSERT_EQ(offsets.back(), whole.size());
    for (bool staleIndex : {true, false}) {
        if (!staleIndex) {
            ASSERT_TRUE(QFile::remove(file("00000002.idx")));
        }
        // Shortening in place: rewriting the file each time would wait for the disk.
        for (int cut = int(whole.size()) - 1; cut >= 0; --cut) {
            SCOPED_TRACE(testing::Message() << "cut at byte " << cut << (staleIndex ? " with" : " without") << " the index");
            ASSERT_TRUE(QFile::resize(file("00000002.frag"), cut));
            const size_t complete = size_t(std::upper_bound(offsets.begin() + 1, offsets.end(), cut) - offsets.begin() - 1);
            testsupport::MessageCapture log;
            const std::vector<archive::FragmentInfo> fragments = described(dir());
            ASSERT_EQ(fragments.size(), complete > 0 ? 2u : 1u);
            EXPECT_TRUE(fragments[0].complete && (complete == 0 || !fragments[1].complete));
            EXPECT_TRUE(complete > 0 || log.warningsContain(QStringLiteral("00000002.frag"))) << "the skipped fragment is named";
            ComponentRef<IArchiveReader> reader = openReader(dir());
            ASSERT_TRUE(reader);
            EXPECT_EQ(feed(*reader, 1000), firstOf(kFirst, kFirst.size(), complete > 0 ? 2000 : kEndMarkerMs));
            if (complete > 0) {
                EXPECT_EQ(feed(*reader, 2000), firstOf(kCrashed, complete));
            }
        }
        ASSERT_TRUE(clienttest::writeFile(file("00000002.frag"), whole));
    }
}

// Blocks around and above the reader's 1 MiB window (straddling its edge,
// filling it exactly, larger than it) are read whole. Damage in the largest
// one stops reading there: describe names it, a feed past it starts from
// the next key block when the index is trusted, and without the index the
// scan ends the fragment there.
TEST_F(DamageTest, BlocksOfAnySizeAreReadWholeAndReadingStopsAtADamagedOne)
{
    const int sizes[] = {700 << 10, 700 << 10, 17, (1 << 20) - 24, 1 << 20, (5 << 20) / 2, 300 << 10, 9, 9, 9};
    std::vector<Block> blocks;
    for (int sizeBytes : sizes) {
        Block b = video(1000 + 40 * int64_t(blocks.size()), blocks.size() % 4 == 0);
        b.payload += QByteArray(sizeBytes, char('a' + blocks.size()));
        b.payload[sizeBytes / 2] = char(b.timeMs);  // no two blocks share their bytes
        blocks.push_back(b);
    }
    record(dir(), {blocks});
    EXPECT_EQ(feed(*openReader(dir()), 1000), firstOf(blocks, blocks.size()));
    const int64_t damaged = blockOffsets(blocks)[5];
    const struct {
        const char *what;
        int64_t offset;
        bool cut;  // there, instead of a byte changed
    } cases[] = {{"a payload byte", damaged + format::kBlockHeaderSizeBytes + (2 << 20), false},
                 {"the time in a header", damaged + 8, false},
                 {"the size in a header", damaged + 1, false},
                 {"a cut", damaged + format::kBlockHeaderSizeBytes + (2 << 20), true}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString folder = _tmp.filePath(QString::number(n++));
        ASSERT_TRUE(QDir().mkpath(folder));
        for (const char *name : {"archive.txt", "00000001.frag", "00000001.idx"})
            ASSERT_TRUE(QFile::copy(file(name), folder + "/" + name));
        const QString path = folder + QStringLiteral("/00000001.frag");
        QByteArray bytes = readFile(path);
        if (c.cut)
            bytes.truncate(c.offset);
        else
            bytes[qsizetype(c.offset)] = char(bytes[qsizetype(c.offset)] ^ 0x40);
        ASSERT_TRUE(clienttest::writeFile(path, bytes));
        testsupport::MessageCapture log;
        const std::vector<archive::FragmentInfo> fragments = described(folder);
        ASSERT_EQ(fragments.size(), 1u);
        EXPECT_FALSE(fragments[0].complete);
        EXPECT_EQ(fragments[0].videoBlocks, 5);
        const QString status = c.cut ? QStringLiteral("cut off") : QStringLiteral("damaged at byte %1").arg(damaged);
        EXPECT_TRUE(fragments[0].status.contains(status)) << fragments[0].status.toStdString();
        for (bool withIndex : {true, false}) {
            if (!withIndex) {
                ASSERT_TRUE(QFile::remove(folder + QStringLiteral("/00000001.idx")));
            }
            ComponentRef<IArchiveReader> reader = openReader(folder);
            ASSERT_TRUE(reader);
            EXPECT_EQ(feed(*reader, 1000), firstOf(blocks, 5));
            const bool trusted = withIndex && !c.cut;  // an index that matches the file's size
            EXPECT_EQ(reader->endTime(), trusted ? 1360 : 1160);
            EXPECT_EQ(feed(*reader, 1330), trusted ? firstOf({blocks[8], blocks[9]}, 2) : firstOf({}, 0));
        }
        EXPECT_EQ(log.warningsContain(QStringLiteral("damaged")), !c.cut) << log.warnings().join('\n').toStdString();
    }
}

TEST_F(DamageTest, ABadOrOlderIndexIsRebuiltByAScan)
{
    std::vector<Block> blocks;
    for (int i = 0; i < 12; ++i)
        blocks.push_back(i % 3 == 2 ? audio(1000 + 20 * i) : video(1000 + 20 * i, i % 6 == 0));
    record(dir(), {blocks, {video(5000, true), video(5040, false)}});
    const int64_t times[] = {1, 1000, 1050, 1110, 1120, 1200, 1230, 4000, 5000, 5040, 6000};
    std::vector<std::vector<Block>> reference;
    for (int64_t t : times)
        reference.push_back(feed(*openReader(dir()), t));
    const QByteArray index = readFile(file("00000001.idx"));
    QByteArray headerFlipped = index, entryFlipped = index;
    headerFlipped[40] = char(headerFlipped[40] ^ 1);
    entryFlipped[format::kIndexHeaderSizeBytes + 3] ^= 1;
    // Older recorders listed the last audio block before a key frame (at
    // 1100) as a key block too, in a version 1 index.
    const std::vector<int64_t> offsets = blockOffsets(blocks);
    QByteArray entries;
    for (size_t listed : {0, 5, 6}) {
        entries.resize(entries.size() + format::kIndexEntrySizeBytes);
        format::encodeIndexEntry({blocks[listed].timeMs, offsets[listed]}, entries.end() - format::kIndexEntrySizeBytes);
    }
    format::IndexHeader header;
    ASSERT_TRUE(format::decodeIndexHeader(index.constData(), index.size(), &header));
    header.keyCount = 3;
    header.entriesCrc = format::crc32Of(entries.constData(), size_t(entries.size()));
    QByteArray version1 = format::encodeIndexHeader(header);
    version1[8] = 1;  // the version, then the header's own CRC in its last 4 bytes
    const uint32_t crc = format::crc32Of(version1.constData(), 92);
    for (int i = 0; i < 4; ++i)
        version1[92 + i] = char(crc >> (8 * i));
    const struct {
        const char *what;
        QByteArray bytes;  // null: no index file
        bool warnsOnFeed;
    } cases[] = {
        {"missing", QByteArray(), false},
        {"empty", QByteArray(""), false},
        {"cut short", index.left(index.size() - 5), false},
        {"header byte changed", headerFlipped, false},
        {"another fragment's index", readFile(file("00000002.idx")), false},
        {"key entry changed", entryFlipped, true},
        {"version 1", version1 + entries, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(file("00000001.idx"));
        ASSERT_TRUE(c.bytes.isNull() || clienttest::writeFile(file("00000001.idx"), c.bytes));
        testsupport::MessageCapture log;
        ComponentRef<IArchiveReader> reader = openReader(dir());
        ASSERT_TRUE(reader);
        for (size_t i = 0; i < std::size(times); ++i)
            EXPECT_EQ(feed(*reader, times[i]), reference[i]) << "feed at " << times[i];
        EXPECT_EQ(log.warningsContain(QStringLiteral("rebuilding")), c.warnsOnFeed);
    }
}

}  // namespace
