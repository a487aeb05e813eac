// Whole exports from real archives of real encoded video and audio to real
// .mkv files, read back with libavformat/libavcodec and compared with the
// archive. The binary runs under TZ=Europe/Berlin so that names are fixed.
#include "tests/plugin/export/EndToEndHarness.h"

#include "client/archive/ArchiveComponents.h"
#include "client/archive/Recorder.h"
#include "plugin/export/ChunkFile.h"
#include "plugin/export/Evidence.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include "tests/support/LocalZone.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <signal.h>
#include <sys/resource.h>

using namespace e2e;

namespace {

// Names and chapters are local times: fix the zone before anything asks.
const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");

QString name(const QString &path) { return QFileInfo(path).fileName(); }

// Compares two sequences of checksums or packets, reporting only the sizes
// and the first difference.
testing::AssertionResult sameSequence(const std::vector<QByteArray> &actual, const std::vector<QByteArray> &expected)
{
    const size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i)
        if (actual[i] != expected[i])
            return testing::AssertionFailure() << "first difference at " << i << " of " << actual.size() << " vs "
                                               << expected.size();
    if (actual.size() != expected.size())
        return testing::AssertionFailure() << "sizes " << actual.size() << " vs " << expected.size();
    return testing::AssertionSuccess();
}

std::vector<QByteArray> exportedAudio(const std::vector<FileContents> &files)
{
    std::vector<QByteArray> packets;
    for (const FileContents &file : files)
        for (const Packet &packet : file.packets)
            if (packet.stream == 1)
                packets.push_back(packet.data);
    return packets;
}

std::vector<QByteArray> archiveAudio(const std::vector<ArchiveBlock> &blocks, int64_t fromMs = 0)
{
    std::vector<QByteArray> packets;
    for (const ArchiveBlock &block : blocks)
        if (block.stream == 8 && block.timeMs >= fromMs)
            packets.push_back(rawAudio(block.payload));
    return packets;
}

std::vector<uint32_t> kinds(const ExportResult &result)
{
    std::vector<uint32_t> out;
    for (const Report &report : result.reports)
        if (report.kind != ControllerEvent::Progress)
            out.push_back(report.kind);
    return out;
}

// Every file's first video packet is a key frame, and nothing precedes
// the first video packet by more than one audio block.
void expectFilesStartWithKeyFrames(const std::vector<FileContents> &files)
{
    for (size_t i = 0; i < files.size(); ++i) {
        for (const Packet &packet : files[i].packets) {
            if (packet.stream == 0) {
                EXPECT_TRUE(packet.key) << "file " << i;
                break;
            }
        }
    }
}

// The export records in `dir`, parsed.
std::vector<QJsonObject> recordsIn(const QString &dir)
{
    std::vector<QJsonObject> records;
    for (const QString &file : QDir(dir).entryList({QStringLiteral("export-*.json")}, QDir::Files, QDir::Name)) {
        QFile json(QDir(dir).filePath(file));
        EXPECT_TRUE(json.open(QIODevice::ReadOnly)) << file.toStdString();
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(json.readAll(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << file.toStdString();
        records.push_back(document.object());
    }
    return records;
}

// The names of a record's files, each checked against the folder: its size,
// and its checksum as its .sha256 has it (none for a file left unfinished).
QStringList filesOfRecord(const QJsonObject &record, const QString &dir)
{
    QStringList names;
    for (const QJsonValue &value : record.value(QStringLiteral("files")).toArray()) {
        const QJsonObject file = value.toObject();
        const QString path = QDir(dir).filePath(file.value(QStringLiteral("name")).toString());
        names << file.value(QStringLiteral("name")).toString();
        EXPECT_EQ(file.value(QStringLiteral("sizeBytes")).toDouble(), double(QFileInfo(path).size())) << path.toStdString();
        QFile checksum(Evidence::checksumPath(path));
        const QByteArray expected = checksum.open(QIODevice::ReadOnly) ? checksum.readAll().left(64) : QByteArray();
        EXPECT_EQ(file.value(QStringLiteral("sha256")).toString().toLatin1(), expected) << path.toStdString();
    }
    return names;
}

QString endingOf(const QJsonObject &record)
{
    return record.value(QStringLiteral("ended")).toObject().value(QStringLiteral("how")).toString();
}

// Copies the blocks of `from` into a new fragment of `recorder`, shifted so
// that the first block lands at `startMs`.
void copyFragment(archive::Recorder &recorder, const std::vector<ArchiveBlock> &from, int64_t startMs)
{
    QString error;
    ASSERT_TRUE(recorder.beginFragment(&error)) << error.toStdString();
    const int64_t shift = startMs - from.front().timeMs;
    for (const ArchiveBlock &block : from)
        ASSERT_TRUE(recorder.append(uint8_t(block.stream), block.timeMs + shift, block.key, block.payload, &error))
            << error.toStdString();
}

class ExportEndToEnd : public testing::Test {
protected:
    QTemporaryDir temp;
    QString archiveDir() const { return temp.filePath(QStringLiteral("archive")); }
    QString outDir()
    {
        const QString dir = temp.filePath(QStringLiteral("out"));
        QDir().mkpath(dir);
        return dir;
    }
};

}  // namespace

struct CodecPair {
    const char *video;
    const char *audio;
    const char *videoCodec;
    const char *audioCodec;
};

class CodecPairs : public ExportEndToEnd, public testing::WithParamInterface<CodecPair> {};

TEST_P(CodecPairs, OneFragmentGivesOneFileWithTheArchivesFramesAndPackets)
{
    const CodecPair pair = GetParam();
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:15:02", "--seconds", "2", "--size", "160x120", "--video", pair.video,
                         "--audio", pair.audio}));
    const ExportResult result = runExport(archiveDir(), outDir(), {});
    ASSERT_EQ(result.files.size(), 1);
    EXPECT_EQ(name(result.files[0]), QStringLiteral("2024.05.03.09.15.02-2024.05.03.09.15.03.mkv"));

    const FileContents contents = readFile(result.files[0]);
    EXPECT_EQ(contents.videoCodec, QLatin1String(pair.videoCodec));
    EXPECT_EQ(contents.audioCodec, QLatin1String(pair.audioCodec));
    EXPECT_EQ(contents.width, 160);
    EXPECT_EQ(contents.height, 120);
    ASSERT_FALSE(contents.packets.empty());
    EXPECT_EQ(contents.packets.front().stream, 0);
    EXPECT_TRUE(contents.packets.front().key);
    EXPECT_EQ(contents.packets.front().ptsMs, 0);

    const std::vector<ArchiveBlock> blocks = readArchive(archiveDir());
    EXPECT_TRUE(sameSequence(contents.videoFrames, decodeVideo(blocks)));
    EXPECT_EQ(contents.videoFrames.size(), 50u);
    EXPECT_TRUE(sameSequence(exportedAudio({contents}), archiveAudio(blocks)));
    // Time stamps are the blocks' times from the file's first block, in ms.
    ASSERT_EQ(contents.packets.size(), blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(contents.packets[i].ptsMs, blocks[i].timeMs - blocks[0].timeMs) << i;

    EXPECT_EQ(kinds(result), (std::vector<uint32_t>{ControllerEvent::FileStarted, ControllerEvent::Finished,
                                                    ControllerEvent::FileClosed}));
    EXPECT_GE(result.count(ControllerEvent::Progress), 1);
}

INSTANTIATE_TEST_SUITE_P(, CodecPairs,
                         testing::Values(CodecPair{"h264", "aac", "h264", "aac"},
                                         CodecPair{"hevc", "ulaw", "hevc", "pcm_mulaw"},
                                         CodecPair{"mjpeg", "alaw", "mjpeg", "pcm_alaw"},
                                         CodecPair{"h264", "ulaw", "h264", "pcm_mulaw"},
                                         CodecPair{"hevc", "aac", "hevc", "aac"}),
                         [](const testing::TestParamInfo<CodecPair> &info) {
                             return std::string(info.param.video) + "_" + info.param.audio;
                         });

TEST_F(ExportEndToEnd, EachFragmentBecomesAFileWhenTheLimitIsOff)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:15:02", "--seconds", "3", "--fragments", "3", "--gap", "3",
                         "--size", "160x120"}));
    const ExportResult result = runExport(archiveDir(), outDir(), {});
    ASSERT_EQ(result.files.size(), 3);
    EXPECT_EQ(name(result.files[0]), QStringLiteral("2024.05.03.09.15.02-2024.05.03.09.15.04.mkv"));
    EXPECT_EQ(name(result.files[1]), QStringLiteral("2024.05.03.09.15.08-2024.05.03.09.15.10.mkv"));
    EXPECT_EQ(name(result.files[2]), QStringLiteral("2024.05.03.09.15.14-2024.05.03.09.15.16.mkv"));
    const std::vector<FileContents> files = readFiles(result.files);
    expectFilesStartWithKeyFrames(files);
    const std::vector<ArchiveBlock> blocks = readArchive(archiveDir());
    EXPECT_TRUE(sameSequence(framesOf(files), decodeVideo(blocks)));
    EXPECT_TRUE(sameSequence(exportedAudio(files), archiveAudio(blocks)));
    using K = ControllerEvent;
    EXPECT_EQ(kinds(result), (std::vector<uint32_t>{K::FileStarted, K::FileClosed, K::FileStarted, K::FileClosed,
                                                    K::FileStarted, K::Finished, K::FileClosed}));

    // The record: the three files with their checksums, the two pauses
    // between the recordings as gaps, the channel, and a finished ending.
    const std::vector<QJsonObject> records = recordsIn(outDir());
    ASSERT_EQ(records.size(), 1u);
    const QJsonObject &record = records[0];
    QStringList names;
    for (const QString &file : result.files)
        names << name(file);
    EXPECT_EQ(filesOfRecord(record, outDir()), names);
    EXPECT_EQ(endingOf(record), QStringLiteral("finished"));
    EXPECT_EQ(record.value(QStringLiteral("channel")).toString(), QStringLiteral("archive"));
    EXPECT_TRUE(record.value(QStringLiteral("requested")).toObject().value(QStringLiteral("to")).isNull());
    const QJsonArray gaps = record.value(QStringLiteral("gaps")).toArray();
    ASSERT_EQ(gaps.size(), 2);
    const auto msOf = [](const QJsonValue &instant) { return int64_t(instant.toObject().value("ms").toDouble()); };
    std::vector<std::pair<int64_t, int64_t>> pauses;  // between recordings: last block + 1, next first block
    for (size_t i = 1; i < blocks.size(); ++i)
        if (blocks[i].timeMs - blocks[i - 1].timeMs > 2000)
            pauses.emplace_back(blocks[i - 1].timeMs + 1, blocks[i].timeMs);
    ASSERT_EQ(pauses.size(), 2u);
    for (int g = 0; g < 2; ++g) {
        EXPECT_EQ(msOf(gaps[g].toObject().value("from")), pauses[size_t(g)].first) << g;
        EXPECT_EQ(msOf(gaps[g].toObject().value("to")), pauses[size_t(g)].second) << g;
    }
}

TEST_F(ExportEndToEnd, WithTheLimitOnPausesAreCutAndChaptersGiveTheWallClock)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:15:02", "--seconds", "3", "--fragments", "3", "--gap", "3",
                         "--size", "160x120"}));
    ExportOptions options;
    options.limitEnabled = true;  // limit 0: no size rule, and gaps do not split
    const ExportResult result = runExport(archiveDir(), outDir(), options);
    ASSERT_EQ(result.files.size(), 1);
    const FileContents contents = readFile(result.files[0]);
    const std::vector<ArchiveBlock> blocks = readArchive(archiveDir());
    EXPECT_TRUE(sameSequence(contents.videoFrames, decodeVideo(blocks)));

    // Pauses over 2 s become 40 ms; shorter steps stay as recorded.
    ASSERT_EQ(contents.packets.size(), blocks.size());
    int64_t skipped = 0;
    for (size_t i = 1; i < blocks.size(); ++i) {
        const int64_t step = blocks[i].timeMs - blocks[i - 1].timeMs;
        if (step > 2000)
            skipped += step - 40;
        EXPECT_EQ(contents.packets[i].ptsMs, blocks[i].timeMs - blocks[0].timeMs - skipped) << i;
    }
    EXPECT_GT(skipped, 5000);

    // A chapter at the start and at each cut pause, named by the wall clock.
    const int64_t start = localMs(QStringLiteral("2024-05-03T09:15:02"));
    ASSERT_EQ(contents.chapters.size(), 3u);
    EXPECT_EQ(contents.chapters[0], std::make_pair(int64_t(0), QStringLiteral("2024-05-03 09:15:02.000")));
    EXPECT_EQ(contents.chapters[1].second, QStringLiteral("2024-05-03 09:15:08.000"));
    EXPECT_EQ(contents.chapters[2].second, QStringLiteral("2024-05-03 09:15:14.000"));
    for (const auto &chapter : {contents.chapters[1], contents.chapters[2]}) {
        const int64_t wallMs = localMs(chapter.second.left(19).replace(QLatin1Char(' '), QLatin1Char('T')));
        bool found = false;
        for (size_t i = 0; i < blocks.size(); ++i)
            if (blocks[i].timeMs == wallMs) {
                EXPECT_EQ(chapter.first, contents.packets[i].ptsMs);
                found = true;
                break;
            }
        EXPECT_TRUE(found) << chapter.second.toStdString();
    }
    // The segment's date is the first block's UTC time, to the millisecond.
    EXPECT_EQ(contents.creationTime, QStringLiteral("2024-05-03T07:15:02.000000Z"));
    EXPECT_EQ(QDateTime::fromString(contents.creationTime, Qt::ISODateWithMs).toMSecsSinceEpoch(), start);
    EXPECT_EQ(contents.title, QStringLiteral("2024-05-03 09:15:02.000 - 2024-05-03 09:15:16.") +
                                  QDateTime::fromMSecsSinceEpoch(blocks.back().timeMs).toString(QStringLiteral("zzz")));
}

// Cameras as they are: H.264 and HEVC at 12.5, 25 and 30 pictures a second,
// key frames every 0.5 to 10 s, no sound, AAC at 48, 16 and 8 kHz, G.711 in
// 20 and 128 ms packets; exported whole, from between two key frames, and
// with a 1 MB limit. Every recorded block of the covered period (from the key
// frame at or before the start) lands in exactly one file, unchanged, and
// every file starts with a key frame.
struct CameraCase {
    const char *what;
    QStringList synth;  // velt-archive synth options beyond start and size
    int64_t fromOffsetMs;  // period start after the recording's start; 0 = whole
    int64_t lengthMs;      // period length; 0 = to the end
    int limitMb;
};

TEST_F(ExportEndToEnd, CameraProfilesExportEveryBlockExactlyOnce)
{
    const QStringList hd{"--size", "1280x720"};
    const CameraCase cases[] = {
        {"h264 25 fps, key 2 s, AAC 48 kHz stereo, 3 recordings",
         {"--gop", "50", "--audio-rate", "48000", "--channels", "2", "--fragments", "3", "--gap", "3",
          "--seconds", "5"}, 0, 0, 0},
        {"hevc 30 fps, key 4 s, mu-law 20 ms, from between key frames",
         {"--video", "hevc", "--fps", "30", "--gop", "120", "--audio", "ulaw", "--seconds", "10"}, 5300, 3000, 0},
        {"h264 12.5 fps, key 10 s, A-law 128 ms, 1 MB limit",
         QStringList{"--fps", "12.5", "--gop", "125", "--audio", "alaw", "--packet-ms", "128", "--seconds", "24"} + hd,
         0, 0, 1},
        {"h264 25 fps, key 0.5 s, AAC 16 kHz, 1 MB limit", QStringList{"--gop", "12", "--seconds", "8"} + hd, 0, 0, 1},
        {"hevc 25 fps, key 0.5 s, AAC 48 kHz mono, from between key frames",
         {"--video", "hevc", "--gop", "12", "--audio-rate", "48000", "--seconds", "4"}, 1730, 0, 0},
        {"h264 30 fps, key 10 s, AAC 8 kHz, from between key frames",
         {"--fps", "30", "--gop", "300", "--audio-rate", "8000", "--seconds", "14"}, 12500, 0, 0},
        {"h264 12.5 fps, key 4 s, no sound, from between key frames",
         {"--fps", "12.5", "--gop", "50", "--audio", "none", "--seconds", "9"}, 2100, 4000, 0},
        {"hevc 12.5 fps, key 2 s, mu-law 128 ms, 2 recordings",
         {"--video", "hevc", "--fps", "12.5", "--gop", "25", "--audio", "ulaw", "--packet-ms", "128",
          "--fragments", "2", "--gap", "4", "--seconds", "3"}, 0, 0, 0},
        {"h264 25 fps, key 4 s, A-law 20 ms, 1 MB limit, from between key frames",
         QStringList{"--gop", "100", "--audio", "alaw", "--seconds", "16"} + hd, 6000, 0, 1},
        {"h264 25 fps, key 2.8 s (70 pictures), AAC 16 kHz, whole", {"--gop", "70", "--seconds", "12"}, 0, 0, 0},
    };
    const int64_t startMs = localMs(QStringLiteral("2024-05-03T09:00:00"));
    for (const CameraCase &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const QString archive = dir.filePath(QStringLiteral("archive"));
        const QString out = dir.filePath(QStringLiteral("out"));
        QStringList args{"--start", "2024-05-03T09:00:00", "--size", "160x120"};
        ASSERT_NO_FATAL_FAILURE(synth(archive, args + c.synth));
        ASSERT_TRUE(QDir().mkpath(out));
        ExportOptions options;
        options.from = startMs + c.fromOffsetMs;
        options.to = c.lengthMs ? options.from + c.lengthMs : kOpenEnd;
        options.limitEnabled = c.limitMb != 0;
        options.limitMb = c.limitMb;
        const ExportResult result = runExport(archive, out, options);
        EXPECT_EQ(result.count(ControllerEvent::Error), 0);
        EXPECT_EQ(result.count(ControllerEvent::Finished), 1);

        // The covered period: from the key frame at or before the start.
        const std::vector<ArchiveBlock> all = readArchive(archive);
        size_t first = 0;
        for (size_t i = 0; i < all.size() && all[i].timeMs <= options.from; ++i)
            if (all[i].stream == 0 && all[i].key)
                first = i;
        std::vector<ArchiveBlock> covered;
        for (size_t i = first; i < all.size() && all[i].timeMs <= options.to; ++i)
            covered.push_back(all[i]);
        ASSERT_FALSE(result.files.isEmpty());
        const std::vector<FileContents> files = readFiles(result.files);
        expectFilesStartWithKeyFrames(files);
        EXPECT_TRUE(sameSequence(framesOf(files), decodeVideo(covered)));
        EXPECT_TRUE(sameSequence(exportedAudio(files), archiveAudio(covered)));
        size_t packets = 0;
        for (const FileContents &file : files)
            packets += file.packets.size();
        EXPECT_EQ(packets, covered.size());
        EXPECT_EQ(result.reports.front().timeMs, covered.front().timeMs) << "the first file's first block";
        if (c.limitMb != 0) {
            EXPECT_GE(result.files.size(), 3) << "the 1 MB limit split too rarely to be tested";
        }
    }
}

TEST_F(ExportEndToEnd, ACodecChangeStartsANewFile)
{
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("a"), {"--seconds", "2", "--size", "160x120", "--video", "h264"}));
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("b"), {"--seconds", "2", "--size", "160x120", "--video", "hevc"}));
    const int64_t start = localMs(QStringLiteral("2024-05-03T09:00:00"));
    {
        QString error;
        auto recorder = archive::Recorder::create(archiveDir(), &error);
        ASSERT_TRUE(recorder) << error.toStdString();
        // One second apart: only the codec change can split them.
        copyFragment(*recorder, readArchive(temp.filePath("a")), start);
        copyFragment(*recorder, readArchive(temp.filePath("b")), start + 3000);
        ASSERT_TRUE(recorder->close(&error));
    }
    const ExportResult result = runExport(archiveDir(), outDir(), {});
    ASSERT_EQ(result.files.size(), 2);
    const std::vector<FileContents> files = readFiles(result.files);
    EXPECT_EQ(files[0].videoCodec, QStringLiteral("h264"));
    EXPECT_EQ(files[1].videoCodec, QStringLiteral("hevc"));
    std::vector<QByteArray> expected = decodeVideo(readArchive(temp.filePath("a")));
    const std::vector<QByteArray> second = decodeVideo(readArchive(temp.filePath("b")));
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_TRUE(sameSequence(framesOf(files), expected));
}

TEST_F(ExportEndToEnd, AResolutionChangeStartsANewCorrectFile)
{
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("a"), {"--seconds", "2", "--size", "320x240"}));
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("b"), {"--seconds", "2", "--size", "160x120"}));
    const std::vector<ArchiveBlock> a = readArchive(temp.filePath("a"));
    const std::vector<ArchiveBlock> b = readArchive(temp.filePath("b"));
    const int64_t start = localMs(QStringLiteral("2024-05-03T09:00:00"));
    {
        QString error;
        auto recorder = archive::Recorder::create(archiveDir(), &error);
        ASSERT_TRUE(recorder);
        // One fragment, one code: only the informer sees the change.
        ASSERT_TRUE(recorder->beginFragment(&error));
        for (const auto *blocks : {&a, &b}) {
            const int64_t shift = (blocks == &a ? start : start + 2000) - blocks->front().timeMs;
            for (const ArchiveBlock &block : *blocks)
                ASSERT_TRUE(recorder->append(uint8_t(block.stream), block.timeMs + shift, block.key, block.payload,
                                             &error));
        }
        ASSERT_TRUE(recorder->close(&error));
    }
    const ExportResult result = runExport(archiveDir(), outDir(), {});
    ASSERT_EQ(result.files.size(), 2);
    const FileContents first = readFile(result.files[0]);
    const FileContents second = readFile(result.files[1]);
    EXPECT_EQ(first.width, 320);
    EXPECT_EQ(second.width, 160);
    EXPECT_TRUE(sameSequence(first.videoFrames, decodeVideo(a)));
    EXPECT_TRUE(sameSequence(second.videoFrames, decodeVideo(b)));
}

TEST_F(ExportEndToEnd, ADayLongGapIsCrossedInAHandfulOfFeeds)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:00:00", "--seconds", "2", "--fragments", "2", "--gap", "86400",
                         "--size", "160x120"}));
    const uint64_t feedsBefore = archive::feedCount();
    const ExportResult result = runExport(archiveDir(), outDir(), {});
    const uint64_t feeds = archive::feedCount() - feedsBefore;
    ASSERT_EQ(result.files.size(), 2);
    EXPECT_LE(feeds, 10u);
    EXPECT_EQ(name(result.files[1]).left(19), QStringLiteral("2024.05.04.09.00.02"));
}

// Two cameras recorded at the same times (so their files get the same
// names) with different pictures, exported into one folder at the same
// time, three times over. Every file is whole, matches its checksum and
// holds one camera's recording under that recording's name; names that are
// taken get " (2)", " (3)", ... and no file is lost or overwritten.
TEST_F(ExportEndToEnd, ExportsIntoOneFolderAtOnceKeepToTheirOwnFiles)
{
    const auto contentOf = [](const QString &path) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        for (const Packet &packet : readFile(path).packets)
            hash.addData(QByteArray::number(packet.stream) + ' ' + QByteArray::number(packet.ptsMs) + ' ' +
                         packet.data);
        return hash.result();
    };
    constexpr int kRounds = 3;
    const QString out = outDir();
    std::vector<ExportJob> jobs;
    std::map<QByteArray, QString> nameOf;  // content of each recording's file, exported alone
    for (const QString &size : {QStringLiteral("160x120"), QStringLiteral("176x144")}) {
        const QString archive = temp.filePath(size);
        ASSERT_NO_FATAL_FAILURE(synth(archive, {"--start", "2024-05-03T09:15:02", "--seconds", "2", "--fragments", "3",
                                                "--gap", "3", "--size", size}));
        const QString aloneDir = temp.filePath(QStringLiteral("alone") + size);
        ASSERT_TRUE(QDir().mkpath(aloneDir));
        const ExportResult alone = runExport(archive, aloneDir, {});
        ASSERT_EQ(alone.files.size(), 3);
        for (const QString &file : alone.files)
            nameOf[contentOf(file)] = name(file);
        jobs.push_back(ExportJob{archive, out, {}});
    }
    ASSERT_EQ(nameOf.size(), 6u);
    for (int round = 0; round < kRounds; ++round)
        for (const ExportResult &result : runExportsAtOnce(jobs))
            EXPECT_EQ(result.count(ControllerEvent::Error), 0);

    // Each of the three names once per camera and round, with its checksum,
    // and nothing else: no file being written is left.
    std::set<QString> names;
    for (const auto &[content, file] : nameOf)
        names.insert(file);
    ASSERT_EQ(names.size(), 3u);
    QStringList expectedFolder;
    for (const QString &file : names) {
        for (int copy = 1; copy <= 2 * kRounds; ++copy) {
            const QString numbered = copy == 1 ? file : QStringLiteral("%1 (%2).mkv").arg(file.chopped(4)).arg(copy);
            expectedFolder << numbered << numbered + QStringLiteral(".sha256");
        }
    }
    expectedFolder.sort();
    EXPECT_EQ(QDir(out).entryList({QStringLiteral("*.mkv*")}, QDir::Files, QDir::Name), expectedFolder);
    // One record per export, each naming its own camera's three files; all
    // records together name every file once.
    const std::vector<QJsonObject> records = recordsIn(out);
    EXPECT_EQ(records.size(), size_t(2 * kRounds));
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), expectedFolder.size() + qsizetype(records.size()));
    QStringList recorded;
    for (const QJsonObject &record : records) {
        const QStringList files = filesOfRecord(record, out);
        EXPECT_EQ(endingOf(record), QStringLiteral("finished"));
        ASSERT_EQ(files.size(), 3);
        std::set<int> widths;
        for (const QString &file : files)
            widths.insert(readFile(out + '/' + file).width);
        EXPECT_EQ(widths.size(), 1u) << "a record names another export's file";
        recorded << files;
    }
    recorded.sort();
    EXPECT_EQ(recorded, QDir(out).entryList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Name));
    static const QRegularExpression copyNumber(QStringLiteral(" \\(\\d+\\)(?=\\.mkv$)"));
    std::map<QByteArray, int> copies;
    for (const QString &file : QDir(out).entryList({QStringLiteral("*.mkv")}, QDir::Files)) {
        EXPECT_EQ(checksumStatus(out + '/' + file), 0) << file.toStdString();
        const QByteArray content = contentOf(out + '/' + file);
        ASSERT_EQ(nameOf.count(content), 1u) << file.toStdString() << " holds no recording";
        EXPECT_EQ(QString(file).remove(copyNumber), nameOf[content]) << file.toStdString();
        ++copies[content];
    }
    for (const auto &[content, count] : copies)
        EXPECT_EQ(count, kRounds) << nameOf[content].toStdString();
}

TEST(ChunkFileNames, FollowLocalTimeAcrossDaylightSavingChanges)
{
    // Europe/Berlin: 03:00 CEST becomes 02:00 CET on 2024-10-27.
    const int64_t beforeUtc = QDateTime::fromString("2024-10-27T00:59:58Z", Qt::ISODate).toMSecsSinceEpoch();
    const int64_t afterUtc = QDateTime::fromString("2024-10-27T01:00:03Z", Qt::ISODate).toMSecsSinceEpoch();
    EXPECT_EQ(ChunkFile::finalName(beforeUtc, afterUtc), QStringLiteral("2024.10.27.02.59.58-2024.10.27.02.00.03.mkv"));
    // 02:00 CET becomes 03:00 CEST on 2024-03-31.
    const int64_t springUtc = QDateTime::fromString("2024-03-31T00:59:59.999Z", Qt::ISODateWithMs).toMSecsSinceEpoch();
    EXPECT_EQ(ChunkFile::finalName(springUtc, springUtc + 1),
              QStringLiteral("2024.03.31.01.59.59-2024.03.31.03.00.00.mkv"));
}

TEST_F(ExportEndToEnd, StopLeavesACompletePlayableLastFile)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:00:00", "--seconds", "60", "--size", "320x240"}));
    ExportOptions options;
    options.stopAfterFiles = 1;
    const ExportResult result = runExport(archiveDir(), outDir(), options);
    if (result.count(ControllerEvent::Finished) != 0)
        GTEST_SKIP() << "the export ended before the stop flag was set";
    ASSERT_EQ(result.files.size(), 1);
    EXPECT_EQ(result.count(ControllerEvent::FileClosed), 1);
    const FileContents contents = readFile(result.files[0]);
    ASSERT_FALSE(contents.videoFrames.empty());
    std::vector<QByteArray> all = decodeVideo(readArchive(archiveDir()));
    all.resize(contents.videoFrames.size());
    EXPECT_TRUE(sameSequence(contents.videoFrames, all));
    EXPECT_TRUE(name(result.files[0]).startsWith(QStringLiteral("2024.05.03.09.00.00-")));
    const std::vector<QJsonObject> records = recordsIn(outDir());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(endingOf(records[0]), QStringLiteral("stopped"));
    EXPECT_EQ(filesOfRecord(records[0], outDir()), QStringList{name(result.files[0])});
}

TEST_F(ExportEndToEnd, AFolderWhereNoFileCanBeMadeGivesAnErrorAndNoFile)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--seconds", "1", "--size", "160x120"}));
    const QString out = outDir();
    const ExportResult result = runExport(archiveDir(), out + QStringLiteral("/missing"), {});
    EXPECT_EQ(kinds(result), (std::vector<uint32_t>{ControllerEvent::Error}));
    EXPECT_EQ(result.reports.front().code, 1000002u);
    EXPECT_TRUE(QDir(out).isEmpty());
}

TEST_F(ExportEndToEnd, AFullDiskGivesAnErrorAndAClosedNamedPlayableFile)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:00:00", "--seconds", "10", "--size", "320x240"}));
    const QString out = outDir();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const ExportResult result = runExport(archiveDir(), out, {});
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

    using K = ControllerEvent;
    EXPECT_EQ(kinds(result), (std::vector<uint32_t>{K::FileStarted, K::Error, K::FileClosed}));
    ASSERT_EQ(result.files.size(), 1);
    EXPECT_TRUE(name(result.files[0]).startsWith(QStringLiteral("2024.05.03.09.00.00-")));
    const FileContents contents = readFile(result.files[0]);
    EXPECT_GT(contents.videoFrames.size(), 10u);
    std::vector<QByteArray> all = decodeVideo(readArchive(archiveDir()));
    ASSERT_GT(all.size(), contents.videoFrames.size());
    all.resize(contents.videoFrames.size());
    EXPECT_TRUE(sameSequence(contents.videoFrames, all));
    // A file that could not be finished gets no checksum.
    EXPECT_FALSE(QFile::exists(result.files[0] + ".sha256"));
    const std::vector<QJsonObject> records = recordsIn(out);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(filesOfRecord(records[0], out), QStringList{name(result.files[0])});
    const QJsonObject ended = records[0].value(QStringLiteral("ended")).toObject();
    EXPECT_EQ(ended.value(QStringLiteral("how")).toString(), QStringLiteral("error"));
    EXPECT_EQ(ended.value(QStringLiteral("code")).toInt(), 1000002);
    EXPECT_FALSE(ended.value(QStringLiteral("text")).toString().isEmpty());
}

// Exporting the same period again gives the same bytes, with and without a
// size limit: a file can be confirmed by exporting it once more.
TEST_F(ExportEndToEnd, ExportsOfOnePeriodAreIdenticalByteForByte)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:00:00", "--seconds", "3", "--fragments", "2",
                                                 "--gap", "3", "--video", "mjpeg", "--size", "640x360"}));
    for (int limitMb : {0, 1}) {
        SCOPED_TRACE(limitMb);
        std::vector<QStringList> checksums;
        for (int run = 0; run < 2; ++run) {
            const QString out = temp.filePath(QStringLiteral("out%1-%2").arg(limitMb).arg(run));
            ASSERT_TRUE(QDir().mkpath(out));
            ExportOptions options;
            options.limitEnabled = limitMb != 0;
            options.limitMb = limitMb;
            const ExportResult result = runExport(archiveDir(), out, options);
            QStringList lines;
            for (const QString &file : result.files) {
                QFile checksum(file + QStringLiteral(".sha256"));
                EXPECT_TRUE(checksum.open(QIODevice::ReadOnly));
                lines << QString::fromUtf8(checksum.readAll());
            }
            checksums.push_back(lines);
        }
        // Two files either way: the two recordings, or a size split (with the
        // limit on, the pause between the recordings does not split).
        EXPECT_GE(checksums[0].size(), 2);
        EXPECT_EQ(checksums[0], checksums[1]);
    }
}

TEST_F(ExportEndToEnd, ChecksumsBesideEachFileDetectChanges)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:15:02", "--seconds", "2", "--fragments", "2", "--gap", "3",
                         "--size", "160x120"}));
    const QString out = outDir();
    // A checksum file already there under the first file's name is kept.
    const QString taken = out + "/2024.05.03.09.15.02-2024.05.03.09.15.03.mkv.sha256";
    {
        QFile file(taken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not ours\n");
    }
    const ExportResult result = runExport(archiveDir(), out, {});
    ASSERT_EQ(result.files.size(), 2);
    EXPECT_EQ(name(result.files[0]), QStringLiteral("2024.05.03.09.15.02-2024.05.03.09.15.03 (2).mkv"));
    QFile kept(taken);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("not ours\n"));

    for (const QString &file : result.files)
        EXPECT_EQ(checksumStatus(file), 0) << name(file).toStdString();

    QFile file(result.files[1]);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.seek(file.size() / 2);
    char byte = 0;
    file.getChar(&byte);
    file.seek(file.size() / 2);
    file.putChar(char(byte ^ 1));
    file.close();
    EXPECT_NE(checksumStatus(result.files[1]), 0);
}
