// Crashes and damage: fragments cut at every byte, overwritten bytes, and
// indexes that are missing or do not match their fragment.
#include "tests/client/archive/ArchiveTestUtil.h"

#include "client/archive/Format.h"
#include "tests/support/MessageCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// Where each block of a recorded fragment starts, and where the file ends.
std::vector<int64_t> blockOffsets(const std::vector<Block> &blocks)
{
    std::vector<int64_t> offsets{archive::format::kFragmentHeaderSizeBytes};
    for (const Block &b : blocks)
        offsets.push_back(offsets.back() + archive::format::kBlockHeaderSizeBytes + b.payload.size());
    return offsets;
}

std::vector<Block> withMarker(std::vector<Block> blocks, int64_t markerMs)
{
    blocks.push_back(marker(markerMs));
    return blocks;
}

int64_t blocksOf(const archive::FragmentInfo &f) { return f.videoBlocks + f.audioBlocks; }

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
    const QByteArray whole = readAll(file("00000002.frag"));
    const std::vector<int64_t> offsets = blockOffsets(kCrashed);
    ASSERT_EQ(offsets.back(), whole.size());

    for (bool keepStaleIndex : {true, false}) {
        if (!keepStaleIndex) {
            ASSERT_TRUE(QFile::remove(file("00000002.idx")));
        }
        // Shortening in place: rewriting the file each time would wait for the disk.
        for (int cut = int(whole.size()) - 1; cut >= 0; --cut) {
            SCOPED_TRACE(testing::Message() << "cut at byte " << cut << (keepStaleIndex ? " with" : " without")
                                            << " the stale index");
            ASSERT_TRUE(QFile::resize(file("00000002.frag"), cut));
            const size_t complete = size_t(std::upper_bound(offsets.begin() + 1, offsets.end(), cut) - offsets.begin() - 1);
            const std::vector<Block> readable(kCrashed.begin(), kCrashed.begin() + long(complete));
            testsupport::MessageCapture log;

            std::vector<archive::FragmentInfo> fragments;
            QString error;
            ASSERT_TRUE(archive::describe(dir(), &fragments, &error)) << error.toStdString();
            ASSERT_EQ(fragments.size(), complete > 0 ? 2u : 1u);
            EXPECT_TRUE(fragments[0].complete);
            if (complete > 0) {
                EXPECT_FALSE(fragments[1].complete);
                EXPECT_EQ(blocksOf(fragments[1]), int64_t(complete));
                const bool atBoundary = offsets[complete] == cut;
                const char *expected = atBoundary ? (keepStaleIndex ? "does not match" : "no index") : "cut off";
                EXPECT_TRUE(fragments[1].status.contains(QLatin1String(expected))) << fragments[1].status.toStdString();
            } else {
                EXPECT_TRUE(log.warningsContain(QStringLiteral("00000002.frag"))) << "the skipped fragment is named";
            }

            ComponentRef<IArchiveReader> reader = openReader(dir());
            ASSERT_TRUE(reader);
            EXPECT_EQ(feed(*reader, 1000), withMarker(kFirst, complete > 0 ? 2000 : kEndMarkerMs));
            if (complete > 0) {
                EXPECT_EQ(feed(*reader, 2000), withMarker(readable, kEndMarkerMs));
            }
        }
        writeAll(file("00000002.frag"), whole);
    }
}

// Blocks around and above the reader's 1 MiB window: straddling its edge,
// larger than it, filling it exactly; then a cut and a damaged byte inside
// the largest one.
TEST_F(DamageTest, BlocksOfAnySizeAreReadWholeAndDamageInsideALargeOneIsFound)
{
    const int sizes[] = {700 << 10, 700 << 10, (5 << 20) / 2, 17, (1 << 20) - 24, 1 << 20, 300 << 10, 9};
    std::vector<Block> blocks;
    int64_t timeMs = 1000;
    for (int sizeBytes : sizes) {
        Block b = video(timeMs, blocks.empty());
        b.payload += QByteArray(sizeBytes, char('a' + blocks.size()));
        b.payload[sizeBytes / 2] = char(timeMs);  // no two blocks share their bytes
        blocks.push_back(b);
        timeMs += 40;
    }
    record(dir(), {blocks});
    {
        ComponentRef<IArchiveReader> reader = openReader(dir());
        ASSERT_TRUE(reader);
        EXPECT_EQ(feed(*reader, 1000), withMarker(blocks, kEndMarkerMs));
    }

    const std::vector<int64_t> offsets = blockOffsets(blocks);
    const int64_t insideLargest = offsets[2] + archive::format::kBlockHeaderSizeBytes + (2 << 20);
    const std::vector<Block> beforeLargest(blocks.begin(), blocks.begin() + 2);
    {
        QFile fragment(file("00000001.frag"));
        ASSERT_TRUE(fragment.open(QIODevice::ReadWrite));
        ASSERT_TRUE(fragment.seek(insideLargest));
        ASSERT_EQ(fragment.write("!"), 1);
    }
    {
        testsupport::MessageCapture log;
        ComponentRef<IArchiveReader> reader = openReader(dir());  // the index is trusted: found while reading
        ASSERT_TRUE(reader);
        EXPECT_EQ(feed(*reader, 1000), withMarker(beforeLargest, kEndMarkerMs));
        EXPECT_TRUE(log.warningsContain(QStringLiteral("damaged"))) << log.warnings().join('\n').toStdString();
    }
    ASSERT_TRUE(QFile::resize(file("00000001.frag"), insideLargest));
    ComponentRef<IArchiveReader> reader = openReader(dir());
    ASSERT_TRUE(reader);
    EXPECT_EQ(feed(*reader, 1000), withMarker(beforeLargest, kEndMarkerMs));
}

TEST_F(DamageTest, OverwrittenBytesStopReadingAtTheDamagedBlock)
{
    std::vector<Block> blocks;
    for (int i = 0; i < 10; ++i)
        blocks.push_back(video(1000 + 40 * i, i % 4 == 0));
    const std::vector<int64_t> offsets = blockOffsets(blocks);
    const int64_t damaged = offsets[5];
    struct Case {
        const char *what;
        int64_t offset;
    };
    const Case cases[] = {{"a payload byte", damaged + archive::format::kBlockHeaderSizeBytes + 2},
                          {"the time in a header", damaged + 8},
                          {"the size in a header", damaged + 1}};
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString folder = _tmp.filePath(QString::number(n++));
        record(folder, {blocks});
        const QString path = QDir(folder).filePath(QStringLiteral("00000001.frag"));
        QByteArray bytes = readAll(path);
        bytes[int(c.offset)] = char(bytes[int(c.offset)] ^ 0x40);
        writeAll(path, bytes);
        const std::vector<Block> beforeDamage(blocks.begin(), blocks.begin() + 5);
        testsupport::MessageCapture log;

        std::vector<archive::FragmentInfo> fragments;
        QString error;
        ASSERT_TRUE(archive::describe(folder, &fragments, &error));
        ASSERT_EQ(fragments.size(), 1u);
        EXPECT_FALSE(fragments[0].complete);
        EXPECT_EQ(blocksOf(fragments[0]), 5);
        EXPECT_TRUE(fragments[0].status.contains(QStringLiteral("damaged at byte %1").arg(damaged)))
            << fragments[0].status.toStdString();

        {
            // The index matches the file size, so the damage shows only when read.
            ComponentRef<IArchiveReader> reader = openReader(folder);
            ASSERT_TRUE(reader);
            EXPECT_EQ(feed(*reader, 1000), withMarker(beforeDamage, kEndMarkerMs));
            EXPECT_TRUE(log.warningsContain(QStringLiteral("damaged"))) << log.warnings().join('\n').toStdString();
            // A feed past the damage starts from its key block through the index.
            EXPECT_EQ(feed(*reader, 1330), withMarker({blocks[8], blocks[9]}, kEndMarkerMs));
        }
        // Without the index the scan ends the fragment at the damage.
        ASSERT_TRUE(QFile::remove(QDir(folder).filePath(QStringLiteral("00000001.idx"))));
        ComponentRef<IArchiveReader> reader = openReader(folder);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->endTime(), 1160);
        EXPECT_EQ(feed(*reader, 1330), std::vector<Block>{marker(kEndMarkerMs)});
    }
}

TEST_F(DamageTest, ABadIndexIsRebuiltByAScan)
{
    std::vector<Block> blocks;
    for (int i = 0; i < 12; ++i)
        blocks.push_back(i % 3 == 2 ? audio(1000 + 20 * i) : video(1000 + 20 * i, i % 6 == 0));
    record(dir(), {blocks, {video(5000, true), video(5040, false)}});
    const int64_t times[] = {1, 1000, 1050, 1120, 1200, 1230, 4000, 5000, 5040, 6000};
    std::vector<std::vector<Block>> reference;
    {
        ComponentRef<IArchiveReader> reader = openReader(dir());
        ASSERT_TRUE(reader);
        for (int64_t t : times)
            reference.push_back(feed(*reader, t));
    }
    const QByteArray index = readAll(file("00000001.idx"));
    const QByteArray otherIndex = readAll(file("00000002.idx"));
    struct Case {
        const char *what;
        QByteArray bytes;  // null: no index file
        bool warnsOnFeed;
    };
    QByteArray headerFlipped = index, entryFlipped = index;
    headerFlipped[40] = char(headerFlipped[40] ^ 1);
    entryFlipped[archive::format::kIndexHeaderSizeBytes + 3] ^= 1;
    const Case cases[] = {
        {"missing", QByteArray(), false},
        {"empty", QByteArray(""), false},
        {"cut short", index.left(index.size() - 5), false},
        {"header byte changed", headerFlipped, false},
        {"another fragment's index", otherIndex, false},
        {"key entry changed", entryFlipped, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(file("00000001.idx"));
        if (!c.bytes.isNull())
            writeAll(file("00000001.idx"), c.bytes);
        testsupport::MessageCapture log;
        ComponentRef<IArchiveReader> reader = openReader(dir());
        ASSERT_TRUE(reader);
        for (size_t i = 0; i < std::size(times); ++i)
            EXPECT_EQ(feed(*reader, times[i]), reference[i]) << "feed at " << times[i];
        EXPECT_EQ(log.warningsContain(QStringLiteral("rebuilding")), c.warnsOnFeed);
    }
    std::vector<archive::FragmentInfo> fragments;
    QString error;
    QFile::remove(file("00000001.idx"));
    ASSERT_TRUE(archive::describe(dir(), &fragments, &error));
    EXPECT_FALSE(fragments[0].complete);
    EXPECT_TRUE(fragments[0].status.contains(QStringLiteral("no index")));
    EXPECT_EQ(blocksOf(fragments[0]), 12);
}

TEST_F(DamageTest, ArchivesThatCannotBeOpenedSaySo)
{
    testsupport::MessageCapture log;
    QString error;
    EXPECT_FALSE(archive::openSource(_tmp.filePath(QStringLiteral("missing")), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("no such folder"))) << error.toStdString();
    EXPECT_FALSE(archive::openSource(_tmp.path(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not an archive"))) << error.toStdString();

    record(dir(), {kFirst});
    QByteArray bytes = readAll(file("00000001.frag"));
    bytes[3] = 'x';
    writeAll(file("00000001.frag"), bytes);
    for (bool withIndex : {true, false}) {
        if (!withIndex) {
            QFile::remove(file("00000001.idx"));
        }
        EXPECT_FALSE(archive::openSource(dir(), &error));
        EXPECT_TRUE(error.contains(QStringLiteral("no readable fragment"))) << error.toStdString();
        EXPECT_TRUE(error.contains(QStringLiteral("00000001.frag: not a fragment file"))) << error.toStdString();
    }
}

}  // namespace
