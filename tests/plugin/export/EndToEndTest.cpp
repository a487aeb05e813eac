// Whole exports from real archives of real encoded video and audio to real
// .mkv files, read back with libavformat/libavcodec and compared with the
// archive; and what else an export leaves: names, checksums, records. Local
// times are Europe/Berlin's.
#include "tests/plugin/export/Harness.h"
#include "tests/support/LocalZone.h"

#include "client/archive/ArchiveComponents.h"
#include "plugin/export/ParameterSets.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <map>
#include <set>
#include <signal.h>
#include <tuple>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace harness {
namespace {

const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");

QString nameOf(const QString &path) { return QFileInfo(path).fileName(); }
int64_t msOf(const QJsonValue &instant) { return int64_t(instant.toObject().value("ms").toDouble()); }
QString wallClock(int64_t ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd hh:mm:ss.zzz"); }
// The time track's text for a block: local time to the second, then the offset.
QString cueText(int64_t ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    const QString iso = local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);  // ...T09:15:02+02:00
    return iso.left(19).replace('T', ' ') + ' ' + (iso.endsWith('Z') ? QStringLiteral("+00:00") : iso.mid(19));
}
// Cues as "start-end text".
QStringList cueLines(const std::vector<Cue> &cues)
{
    QStringList lines;
    for (const Cue &cue : cues)
        lines << QStringLiteral("%1-%2 %3").arg(cue.startMs).arg(cue.endMs).arg(cue.text);
    return lines;
}

// The files at `paths`, in order, hold exactly the `blocks`: the same streams,
// audio bytes and key frames, each file's time stamps counted from its first
// block with pauses over 2 s cut to 40 ms, each file beginning with a key
// frame (or, when `continuing`, a later file with pictures that continue the
// one before), and the pictures, played file after file, decode as the
// archive's do; each file's time track shows each recorded second from its
// first block to the next second's (the last to the file's last block).
// `starts` gets where in `blocks` each file begins.
void expectFilesHold(const QStringList &paths, const std::vector<ArchiveBlock> &blocks, bool continuing = false,
                     std::vector<size_t> *starts = nullptr)
{
    size_t next = 0;
    std::vector<FileContents> files;
    for (int f = 0; f < paths.size(); ++f) {
        const FileContents &file = files.emplace_back(readFile(paths[f]));
        if (starts)
            starts->push_back(next);
        const int64_t firstMs = next < blocks.size() ? blocks[next].timeMs : 0;
        int64_t cutMs = 0;
        bool videoSeen = continuing && f > 0;
        std::vector<Cue> cues;
        for (const Packet &packet : file.packets) {
            ASSERT_LT(next, blocks.size()) << "file " << f << " holds more than the archive";
            const ArchiveBlock &block = blocks[next];
            SCOPED_TRACE(testing::Message() << "file " << f << ", block " << next << " at " << block.timeMs);
            if (&packet != &file.packets.front() && block.timeMs - blocks[next - 1].timeMs > 2000)
                cutMs += block.timeMs - blocks[next - 1].timeMs - 40;
            ASSERT_EQ(packet.video, block.stream == 0);
            ASSERT_EQ(packet.ptsMs, block.timeMs - firstMs - cutMs);
            // The muxer frames H.264 and HEVC pictures anew: those are
            // compared decoded, below.
            ASSERT_TRUE(packet.video ? packet.key == block.key : packet.data == storedBytes(block));
            ASSERT_TRUE(videoSeen || !packet.video || packet.key) << "a file begins without a key frame";
            videoSeen = videoSeen || packet.video;
            if (cues.empty() || block.timeMs / 1000 != blocks[next - 1].timeMs / 1000) {
                if (!cues.empty())
                    cues.back().endMs = packet.ptsMs;
                cues.push_back(Cue{packet.ptsMs, 0, cueText(block.timeMs)});
            }
            ++next;
        }
        if (!cues.empty())
            cues.back().endMs = file.packets.back().ptsMs + 1;
        EXPECT_EQ(cueLines(file.cues), cueLines(cues)) << "file " << f;
        EXPECT_EQ(file.timeTrack, "Recording time, default") << "file " << f;
    }
    EXPECT_EQ(next, blocks.size()) << "blocks left out";
    EXPECT_EQ(decodeInOrder(files), decodeVideo(blocks));
}

class ExportEndToEnd : public testing::Test {
protected:
    QString archiveDir() const { return temp.filePath(QStringLiteral("archive")); }
    // A request to export into the new folder `name`.
    Request into(const QString &name)
    {
        EXPECT_TRUE(QDir().mkpath(temp.filePath(name)));
        return Request{temp.filePath(name)};
    }

    QTemporaryDir temp;
};

// Where in a recording a change falls: the first block at or after
// `timeMs` of `stream` (any stream: -1).
size_t firstAt(const std::vector<ArchiveBlock> &blocks, int64_t timeMs, int stream = -1, int key = -1)
{
    size_t i = 0;
    while (i < blocks.size() && (blocks[i].timeMs < timeMs || (stream >= 0 && blocks[i].stream != stream) ||
                                 (key >= 0 && blocks[i].key != bool(key))))
        ++i;
    return i;
}

// A change inside one recording, as cameras make them, `atIntervals`
// key-frame intervals after its start: a 3 s pause (a network drop while
// the camera went on) that resumes with audio and then a key frame, with a
// picture that is not one, or with audio and then such a picture; or the
// audio of another recording from there on. Returns the block at which the
// recording changes: the next file begins there.
enum class Resume { AudioThenKey, Picture, AudioThenPicture, OtherAudio };
size_t change(std::vector<ArchiveBlock> &blocks, int64_t atMs, Resume resume, const std::vector<ArchiveBlock> &other)
{
    std::vector<ArchiveBlock> changed;
    if (resume == Resume::OtherAudio) {
        std::copy_if(blocks.begin(), blocks.end(), std::back_inserter(changed),
                     [&](const ArchiveBlock &b) { return b.stream == 0 || b.timeMs < atMs; });
        std::copy_if(other.begin(), other.end(), std::back_inserter(changed),
                     [&](const ArchiveBlock &b) { return b.stream == 8 && b.timeMs >= atMs; });
        std::stable_sort(changed.begin(), changed.end(), [](const auto &a, const auto &b) { return a.timeMs < b.timeMs; });
        blocks = changed;
        return firstAt(blocks, atMs, 8);
    }
    const int64_t videoMs = blocks[firstAt(blocks, atMs + 3000, 0, resume == Resume::AudioThenKey)].timeMs;
    // The audio resumes with the last block before that picture, or after it.
    int64_t audioMs = videoMs + 1;
    for (const ArchiveBlock &b : blocks)
        audioMs = resume != Resume::Picture && b.stream == 8 && b.timeMs < videoMs ? b.timeMs : audioMs;
    std::copy_if(blocks.begin(), blocks.end(), std::back_inserter(changed), [&](const ArchiveBlock &b) {
        return b.timeMs < atMs || b.timeMs >= (b.stream == 0 ? videoMs : audioMs);
    });
    blocks = changed;
    return firstAt(blocks, std::min(videoMs, audioMs));
}

// Cameras as they are: H.264, HEVC and MJPEG at 12.5, 25 and 30 pictures a
// second, key frames every 0.5 to 10 s, AAC at 48, 16 and 8 kHz, G.711 in 20
// and 128 ms packets or no sound; exported whole, from between two key
// frames, and with a 1 MB limit. Every block of the covered period (from the
// key frame at or before the start) lands in exactly one file, unchanged.
// Some are also recorded again with changes inside the recording (pauses,
// another audio codec or AAC configuration): the file after the change
// begins at the block that changes, and nothing is lost or repeated.
TEST_F(ExportEndToEnd, CameraProfilesExportEveryBlockExactlyOnce)
{
    const QStringList hd{"--size", "1280x720"};
    const struct {
        const char *what;
        QStringList synth;     // velt-archive synth options beyond start and size
        int64_t fromOffsetMs;  // period start after the recording's start
        int64_t lengthMs;      // period length; 0 = to the end
        int limitMb;
        // Options for the other audio a changed recording switches to, for
        // another codec and another AAC configuration; none: not changed.
        QStringList otherCodec = {}, otherConfig = {};
    } cases[] = {
        {"h264 25 fps, key 2 s, AAC 48 kHz stereo, 3 recordings",
         {"--gop", "50", "--audio-rate", "48000", "--channels", "2", "--fragments", "3", "--gap", "3", "--seconds", "5"},
         0, 0, 0},
        {"hevc 30 fps, key 4 s, mu-law 20 ms, from between key frames",
         {"--video", "hevc", "--fps", "30", "--gop", "120", "--audio", "ulaw", "--seconds", "10"}, 5300, 3000, 0},
        {"h264 12.5 fps, key 10 s, A-law 128 ms, 1 MB limit",
         QStringList{"--fps", "12.5", "--gop", "125", "--audio", "alaw", "--packet-ms", "128", "--seconds", "24"} + hd,
         0, 0, 1},
        {"h264 25 fps, key 0.5 s, AAC 16 kHz, 1 MB limit", QStringList{"--gop", "12", "--seconds", "8"} + hd, 0, 0, 1},
        {"hevc 25 fps, key 0.5 s, AAC 48 kHz mono, from between key frames",
         {"--video", "hevc", "--gop", "12", "--audio-rate", "48000", "--seconds", "4"}, 1730, 0, 0},
        {"h264 30 fps, key 10 s, AAC 8 kHz, from between key frames, and changed",
         {"--fps", "30", "--gop", "300", "--audio-rate", "8000", "--seconds", "14"}, 12500, 0, 0,
         {"--audio", "ulaw"}, {"--audio-rate", "16000"}},
        {"h264 12.5 fps, key 4 s, no sound, from between key frames",
         {"--fps", "12.5", "--gop", "50", "--audio", "none", "--seconds", "9"}, 2100, 4000, 0},
        {"hevc 12.5 fps, key 2 s, mu-law 128 ms, 2 recordings",
         {"--video", "hevc", "--fps", "12.5", "--gop", "25", "--audio", "ulaw", "--packet-ms", "128", "--fragments",
          "2", "--gap", "4", "--seconds", "3"},
         0, 0, 0},
        {"h264 25 fps, key 4 s, A-law 20 ms, 1 MB limit, from between key frames",
         QStringList{"--gop", "100", "--audio", "alaw", "--seconds", "16"} + hd, 6000, 0, 1},
        {"h264 25 fps, key 10 s, mu-law 20 ms, whole, and changed", {"--gop", "250", "--audio", "ulaw", "--seconds", "14"},
         0, 0, 0, {"--audio", "aac"}},
        {"h264 25 fps, key 0.5 s, mu-law 20 ms, whole, and changed", {"--gop", "12", "--audio", "ulaw", "--seconds", "5"},
         0, 0, 0, {"--audio", "aac"}},
        {"h264 25 fps, key 0.5 s, AAC 16 kHz, whole, and changed", {"--gop", "12", "--seconds", "5"}, 0, 0, 0,
         {"--audio", "ulaw"}, {"--audio-rate", "48000"}},
        {"mjpeg 25 fps, A-law, whole", {"--video", "mjpeg", "--audio", "alaw", "--seconds", "2"}, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString name = QString::number(&c - cases);
        const QStringList synthOptions = QStringList{"--start", "2024-05-03T09:00:00", "--size", "160x120"} + c.synth;
        ASSERT_NO_FATAL_FAILURE(synth(temp.filePath(name), synthOptions));
        Request r = into(name + "-out");
        r.fromMs = localMs(QStringLiteral("2024-05-03T09:00:00")) + c.fromOffsetMs;
        r.toMs = c.lengthMs ? r.fromMs + c.lengthMs : kOpenEnd;
        r.limitEnabled = c.limitMb != 0;
        r.limitMb = c.limitMb;
        const Result result = runExport(temp.filePath(name), r);
        EXPECT_TRUE(result.reports.summary(false).endsWith("closed finished")) << result.reports.summary().toStdString();

        // The covered period: from the key frame at or before the start.
        const std::vector<ArchiveBlock> recorded = readArchive(temp.filePath(name));
        std::vector<ArchiveBlock> covered = recorded;
        size_t first = 0;
        for (size_t i = 0; i < covered.size() && covered[i].timeMs <= r.fromMs; ++i)
            first = covered[i].stream == 0 && covered[i].key ? i : first;
        covered.erase(covered.begin(), covered.begin() + long(first));
        covered.erase(std::find_if(covered.begin(), covered.end(), [&](const ArchiveBlock &b) { return b.timeMs > r.toMs; }),
                      covered.end());
        expectFilesHold(result.files, covered);
        EXPECT_EQ(result.reports.front().timeMs, covered.front().timeMs) << "the first file's first block";
        EXPECT_TRUE(c.limitMb == 0 || result.files.size() >= 3) << "the 1 MB limit split too rarely to be tested";
        if (c.otherCodec.isEmpty())
            continue;

        // The same recording changed, each change at about 10 %, 50 % and
        // 90 % of a key-frame interval, exported whole without a limit.
        const int64_t startMs = recorded.front().timeMs;
        const int64_t keyMs = recorded[firstAt(recorded, startMs + 1, 0, 1)].timeMs - startMs;
        std::map<QString, std::vector<ArchiveBlock>> otherAudio;
        for (const QStringList &options : {c.otherCodec, c.otherConfig}) {
            const QString other = name + options.join("");
            if (!options.isEmpty()) {
                ASSERT_NO_FATAL_FAILURE(synth(temp.filePath(other), synthOptions + options));
                otherAudio[options.join(" ")] = readArchive(temp.filePath(other));
            }
        }
        std::vector<std::tuple<double, Resume, QStringList, const char *>> changes;
        for (Resume resume : {Resume::AudioThenKey, Resume::Picture, Resume::AudioThenPicture})
            changes.emplace_back(0.37, resume, QStringList(), "new recording");
        for (double at : {0.11, 0.5, 0.93}) {
            changes.emplace_back(at, Resume::OtherAudio, c.otherCodec, "codec change");
            if (!c.otherConfig.isEmpty())
                changes.emplace_back(at, Resume::OtherAudio, c.otherConfig, "stream parameters changed");
        }
        for (const auto &[at, resume, options, began] : changes) {
            const QString changed = QStringLiteral("%1-%2-%3%4").arg(name).arg(at).arg(int(resume)).arg(options.join(""));
            SCOPED_TRACE(changed.toStdString());
            std::vector<ArchiveBlock> blocks = recorded;
            const size_t split = change(blocks, startMs + int64_t(at * double(keyMs)) + 3, resume, otherAudio[options.join(" ")]);
            ASSERT_NO_FATAL_FAILURE(recordArchive(temp.filePath(changed), {Piece{blocks, startMs}}, true));
            const uint64_t feedsBefore = archive::feedCount();
            const Result result = runExport(temp.filePath(changed), into(changed + "-out"));
            EXPECT_LE(archive::feedCount() - feedsBefore, 18u);
            EXPECT_EQ(result.reports.count(ControllerEvent::Error), 0) << result.reports.summary().toStdString();
            std::vector<size_t> starts;
            expectFilesHold(result.files, blocks, true, &starts);
            EXPECT_EQ(starts, (std::vector<size_t>{0, split}));
            const QJsonArray files = recordsIn(temp.filePath(changed + "-out")).at(0).value("files").toArray();
            const QJsonObject second = files.at(1).toObject();
            EXPECT_EQ(second.value("began").toString(), QLatin1String(began));
            EXPECT_EQ(second.value("continuesPreviousFile").toBool(), !blocks[firstAt(blocks, blocks[split].timeMs, 0)].key);
        }
    }
}

// Four recordings of the same two seconds: the second 2000 ms after the
// first's last block, the third 2001 ms after the second's, the fourth 3 s
// after the third's.
class PausesTest : public ExportEndToEnd {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("piece"), {"--seconds", "2", "--size", "160x120"}));
        const std::vector<ArchiveBlock> piece = readArchive(temp.filePath("piece"));
        lengthMs = piece.back().timeMs - piece.front().timeMs;
        std::vector<Piece> pieces;
        int64_t startMs = localMs(QStringLiteral("2024-05-03T09:15:02"));
        for (int64_t pauseMs : {2000, 2001, 3000, 0}) {
            pieces.push_back(Piece{piece, startMs});
            starts.push_back(startMs);
            startMs += lengthMs + pauseMs;
        }
        ASSERT_NO_FATAL_FAILURE(recordArchive(archiveDir(), pieces, false));
        blocks = readArchive(archiveDir());
    }

    int64_t lengthMs = 0;
    std::vector<int64_t> starts;
    std::vector<ArchiveBlock> blocks;
};

TEST_F(PausesTest, WithoutALimitPausesOver2sStartFilesAndTheRecordSaysWhatWasExported)
{
    const Request r = into("out");
    const Result result = runExport(archiveDir(), r);
    EXPECT_EQ(result.reports.summary(false), "started closed started closed started closed finished");
    ASSERT_EQ(result.files.size(), 3);
    EXPECT_EQ(nameOf(result.files[0]).left(20), QStringLiteral("2024.05.03.09.15.02-"));
    expectFilesHold(result.files, blocks);

    const std::vector<QJsonObject> records = recordsIn(r.dir);
    ASSERT_EQ(records.size(), 1u);
    const QJsonObject &record = records[0];
    // The zone whose local times the titles and chapters carry, with its offset when the export started.
    const QJsonObject zone = record.value("zone").toObject();
    EXPECT_EQ(zone.value("name").toString(), QStringLiteral("Europe/Berlin"));
    EXPECT_TRUE(zone.value("offset").toString().startsWith("+0") &&
                record.value("started").toObject().value("local").toString().endsWith(zone.value("offset").toString()));
    // No session manager in this client: the record leaves the session out
    // rather than guess; the account is the system's.
    EXPECT_TRUE(record.value("session").isNull());
    EXPECT_FALSE(record.value("account").toString().isEmpty());
    EXPECT_TRUE(record.value("requested").toObject().value("to").isNull());
    EXPECT_EQ(record.value("ended").toObject().value("how").toString(), QStringLiteral("finished"));
    const QJsonArray recorded = record.value("files").toArray();
    ASSERT_EQ(recorded.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QJsonObject file = recorded[i].toObject();
        QFile checksum(result.files[i] + ".sha256");
        EXPECT_TRUE(hasChecksum(result.files[i]) && checksum.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.value("name").toString(), nameOf(result.files[i]));
        EXPECT_EQ(file.value("sizeBytes").toDouble(), double(QFileInfo(result.files[i]).size()));
        EXPECT_EQ(file.value("sha256").toString().toLatin1(), checksum.readAll().left(64));
    }
    // The stretches between the recordings: from a last block's next
    // millisecond to the next recording's first block.
    const QJsonArray gaps = record.value("gaps").toArray();
    ASSERT_EQ(gaps.size(), 3);
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(msOf(gaps[g].toObject().value("from")), starts[size_t(g)] + lengthMs + 1) << g;
        EXPECT_EQ(msOf(gaps[g].toObject().value("to")), starts[size_t(g) + 1]) << g;
    }
}

TEST_F(PausesTest, WithALimitPausesOver2sAreCutAndChaptersGiveTheWallClock)
{
    Request r = into("out");
    r.limitEnabled = true;  // limit 0: no size rule, and pauses do not start files
    const Result result = runExport(archiveDir(), r);
    ASSERT_EQ(result.files.size(), 1);
    expectFilesHold(result.files, blocks);
    const FileContents contents = readFile(result.files[0]);

    // A chapter at the start and at each cut pause, named by the wall clock
    // there; the record's pauses at the same file times.
    const QJsonArray pauses = recordsIn(r.dir).at(0).value("files").toArray().at(0).toObject().value("pauses").toArray();
    ASSERT_EQ(contents.chapters.size(), 3u);
    ASSERT_EQ(pauses.size(), 2);
    EXPECT_EQ(contents.chapters[0], std::make_pair(int64_t(0), QStringLiteral("2024-05-03 09:15:02.000")));
    for (size_t i = 1; i < 3; ++i) {
        const auto at = std::find_if(blocks.begin(), blocks.end(), [&](const ArchiveBlock &b) { return b.timeMs == starts[i + 1]; });
        ASSERT_NE(at, blocks.end());
        const int64_t fileMs = contents.packets[size_t(at - blocks.begin())].ptsMs;
        EXPECT_EQ(contents.chapters[i], std::make_pair(fileMs, wallClock(starts[i + 1])));
        EXPECT_EQ(pauses[int(i) - 1].toObject().value("fileMs").toDouble(), double(contents.chapters[i].first));
        // Where the file goes on after the pause, the time track jumps to the
        // recording's time there.
        const auto cue = std::find_if(contents.cues.begin(), contents.cues.end(),
                                      [&](const Cue &c) { return c.startMs == fileMs; });
        ASSERT_NE(cue, contents.cues.begin());
        ASSERT_NE(cue, contents.cues.end());
        EXPECT_EQ(cue[-1].endMs, fileMs);
        EXPECT_EQ(cue->text, wallClock(starts[i + 1]).left(19) + " +02:00");
    }
    EXPECT_EQ(contents.cues.front().text, QStringLiteral("2024-05-03 09:15:02 +02:00"));
    // The segment's date is the first block's UTC time, to the millisecond;
    // the title gives the file's period in local time.
    EXPECT_EQ(contents.creationTime, QStringLiteral("2024-05-03T07:15:02.000000Z"));
    EXPECT_EQ(contents.title, "2024-05-03 09:15:02.000 - " + wallClock(blocks.back().timeMs));
}

TEST_F(ExportEndToEnd, ADayLongGapIsCrossedInAHandfulOfFeeds)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:00:00", "--seconds", "2", "--fragments", "2",
                                                 "--gap", "86400", "--size", "160x120"}));
    const uint64_t feedsBefore = archive::feedCount();
    const Result result = runExport(archiveDir(), into("out"));
    EXPECT_LE(archive::feedCount() - feedsBefore, 10u);
    EXPECT_EQ(nameOf(result.files.value(1)).left(19), QStringLiteral("2024.05.04.09.00.02"));
}

// A name already taken, by a file or by a checksum file, gets " (2)"; what
// was there stays; every file gets its checksum beside it.
TEST_F(ExportEndToEnd, TakenNamesGetANumberAndNothingIsReplaced)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:15:02", "--seconds", "2", "--fragments", "2",
                                                 "--gap", "3", "--size", "160x120"}));
    const Request r = into("out");
    const QString taken[] = {"2024.05.03.09.15.02-2024.05.03.09.15.03.mkv",
                             "2024.05.03.09.15.07-2024.05.03.09.15.08.mkv.sha256"};
    for (const QString &name : taken) {
        QFile file(r.dir + '/' + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("not ours\n") == 9);
    }
    for (const QString &file : runExport(archiveDir(), r).files)
        EXPECT_TRUE(file.endsWith(" (2).mkv") ? hasChecksum(file) : testing::AssertionSuccess()) << file.toStdString();
    EXPECT_EQ(QDir(r.dir).entryList({QStringLiteral("*.mkv*")}, QDir::Files, QDir::Name),
              (QStringList{"2024.05.03.09.15.02-2024.05.03.09.15.03 (2).mkv",
                           "2024.05.03.09.15.02-2024.05.03.09.15.03 (2).mkv.sha256", taken[0],
                           "2024.05.03.09.15.07-2024.05.03.09.15.08 (2).mkv",
                           "2024.05.03.09.15.07-2024.05.03.09.15.08 (2).mkv.sha256", taken[1]}));
}

// Two cameras recorded at the same times (so their files get the same
// names) with different pictures, exported into one folder at the same
// time, three times over. Every file is whole, has its checksum and holds a
// recording under that recording's name, with " (2)" to " (6)"; none is lost
// or replaced, and each export's record names its own camera's files.
TEST_F(ExportEndToEnd, ExportsIntoOneFolderAtOnceKeepToTheirOwnFiles)
{
    const Request r = into("out");
    std::vector<std::pair<QString, Request>> jobs;
    for (const QString &size : {QStringLiteral("160x120"), QStringLiteral("176x144")}) {
        ASSERT_NO_FATAL_FAILURE(synth(temp.filePath(size), {"--start", "2024-05-03T09:15:02", "--seconds", "2",
                                                            "--fragments", "3", "--gap", "3", "--size", size}));
        jobs.push_back({temp.filePath(size), r});
    }
    for (int round = 0; round < 3; ++round) {
        for (const Result &result : runExportsAtOnce(jobs))
            EXPECT_EQ(result.reports.count(ControllerEvent::Error), 0);
    }
    // Each recording's name, with the wall clock of its first block.
    const std::map<QString, QString> recordings = {
        {"2024.05.03.09.15.02-2024.05.03.09.15.03.mkv", "2024-05-03 09:15:02.000"},
        {"2024.05.03.09.15.07-2024.05.03.09.15.08.mkv", "2024-05-03 09:15:07.000"},
        {"2024.05.03.09.15.12-2024.05.03.09.15.13.mkv", "2024-05-03 09:15:12.000"}};
    static const QRegularExpression copyNumber(QStringLiteral(" \\((\\d+)\\)(?=\\.mkv$)"));
    std::map<QString, std::multiset<int>> numbers, widths;
    for (const QString &file : mkvFiles(r.dir)) {
        EXPECT_TRUE(hasChecksum(r.dir + '/' + file));
        const QString name = QString(file).remove(copyNumber);
        const QRegularExpressionMatch number = copyNumber.match(file);
        numbers[name].insert(number.hasMatch() ? number.captured(1).toInt() : 1);
        const FileContents contents = readFile(r.dir + '/' + file);
        widths[name].insert(contents.width);
        ASSERT_EQ(recordings.count(name), 1u) << file.toStdString();
        EXPECT_EQ(contents.chapters.at(0).second, recordings.at(name)) << file.toStdString();
        EXPECT_EQ(contents.frames.size(), 50u) << file.toStdString();
    }
    ASSERT_EQ(numbers.size(), 3u);
    for (const auto &[name, copies] : numbers) {
        EXPECT_EQ(copies, (std::multiset<int>{1, 2, 3, 4, 5, 6})) << name.toStdString();
        EXPECT_EQ(widths[name], (std::multiset<int>{160, 160, 160, 176, 176, 176})) << name.toStdString();
    }
    // Besides the files and their checksums only the records, each naming
    // its own camera's three files.
    const std::vector<QJsonObject> records = recordsIn(r.dir);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(QDir(r.dir).entryList(QDir::Files).size(), 2 * mkvFiles(r.dir).size() + 6);
    QStringList recorded;
    for (const QJsonObject &record : records) {
        std::set<int> widthsOfRecord;
        for (const QJsonValue &file : record.value("files").toArray()) {
            recorded << file.toObject().value("name").toString();
            widthsOfRecord.insert(readFile(r.dir + '/' + recorded.back()).width);
        }
        EXPECT_EQ(widthsOfRecord.size(), 1u) << "a record names another export's file";
    }
    recorded.sort();
    EXPECT_EQ(recorded, mkvFiles(r.dir));
}

// The blocks of `archiveDir` with every parameter set damaged by `damage`,
// recorded into `dir`.
void recordDamaged(const QString &archiveDir, const QString &dir, const std::function<void(QByteArray &)> &damage)
{
    std::vector<ArchiveBlock> blocks = readArchive(archiveDir);
    for (ArchiveBlock &block : blocks) {
        if (block.stream == 0 && block.key)
            damage(block.payload);
    }
    recordArchive(dir, {Piece{blocks, blocks.front().timeMs}}, true);
}

// Faults of the disk, the folder, the names and the archive, met by a real
// export. Whatever happens, the export ends with one report that says how,
// never hangs, and leaves a record that parses and lists exactly the files
// under final names, each with its checksum, and every incomplete file under
// a name that says so, with its size.
TEST_F(ExportEndToEnd, UnderFaultsTheExportEndsAndItsRecordListsExactlyWhatItLeft)
{
    const QStringList small{"--start", "2024-05-03T09:00:00", "--size", "320x240"};
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("one"), small + QStringList{"--seconds", "6"}));
    ASSERT_NO_FATAL_FAILURE(
        synth(temp.filePath("three"), small + QStringList{"--seconds", "2", "--fragments", "3", "--gap", "3"}));
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("h264"), small + QStringList{"--seconds", "1", "--audio", "none"}));
    // The SPS's identifier and what follows it become zeros: an
    // Exp-Golomb code longer than any the format allows.
    ASSERT_NO_FATAL_FAILURE(recordDamaged(temp.filePath("h264"), temp.filePath("h264-damaged"), [](QByteArray &payload) {
        const qsizetype sps = payload.indexOf(QByteArray("\x00\x00\x01\x67", 4));
        if (sps >= 0)
            payload.replace(sps + 7, 8, QByteArray(8, '\0'));
    }));
    // The fuzzer's find: HEVC parameter sets whose SPS declares billions of
    // long-term reference pictures; one key block of it, then more.
    {
        QFile found(QStringLiteral(VELT_SOURCE_DIR "/tests/fuzz/regressions/fuzz_informers/hevc-sps-long-term-refs"));
        ASSERT_TRUE(found.open(QIODevice::ReadOnly));
        const QByteArray sets = "HEVC" + found.readAll().mid(3);
        std::vector<ArchiveBlock> blocks;
        for (int i = 0; i < 25; ++i)
            blocks.push_back(ArchiveBlock{0, localMs("2024-05-03T09:00:00") + 40 * i, i % 5 == 0, sets});
        ASSERT_NO_FATAL_FAILURE(recordArchive(temp.filePath("hevc-damaged"), {Piece{blocks, blocks.front().timeMs}}, true));
    }
    const QString firstName = "2024.05.03.09.00.00-2024.05.03.09.00.05";
    // A folder whose path leaves room for the temporary names of files and
    // records (35 characters) but not for a file's final name (43).
    QString deep = temp.filePath("deep");
    while (deep.size() < PATH_MAX - 40)
        deep += '/' + QString(std::min<qsizetype>(200, PATH_MAX - 41 - deep.size()), 'd');
    int64_t fileBytes = 0;  // of the file of "one", once exported
    QStringList foreign;    // files of the row's folder that are not the export's
    // A file system that fills up: a tmpfs with room for the record and half
    // the file. Only root may mount one; for others the row is left out.
    struct Unmount {
        QString path;
        ~Unmount() { umount2(path.toUtf8().constData(), MNT_DETACH); }
    } smallDisk;
    bool leftOut = false;
    const auto mountSmallDisk = [&](Request &r) {
        const QByteArray size = "size=" + QByteArray::number((1 << 20) + (64 << 10) + fileBytes / 2);
        leftOut = mount("tmpfs", r.dir.toUtf8().constData(), "tmpfs", 0, size.constData()) != 0;
        smallDisk.path = leftOut ? QString() : r.dir;
    };

    const struct {
        const char *name;
        const char *archive;
        std::function<void(Request &)> arrange;
        std::function<rlim_t()> fileSizeLimit;  // RLIM_INFINITY: none
        const char *summary;  // the reports, without times and progress
        const char *ended;    // the record's "how"; empty: no record
        int finished, incomplete;
        const char *reason;  // in the Error's reason
        bool unread;          // recorded time could not be read
    } faults[] = {
        {"none", "one", nullptr, [] { return RLIM_INFINITY; }, "started closed finished", "finished", 1, 0, "", false},
        {"the folder does not exist", "one", [&](Request &r) { r.dir += "/missing"; }, [] { return RLIM_INFINITY; },
         "error1000002", "", 0, 0, "No such file or directory", false},
        {"disk full when the record is made", "one", nullptr, [] { return rlim_t(10); }, "error1000002", "", 0, 0,
         "File too large", false},
        {"the disk fills up while a file is written", "one", mountSmallDisk, [] { return RLIM_INFINITY; },
         "started closed error1000002", "error", 0, 1, "No space left on device", false},
        {"disk full while a file is written", "one", nullptr, [] { return rlim_t(100 * 1024); },
         "started closed error1000002", "error", 0, 1, "File too large", false},
        {"disk full when the muxer finishes", "one", nullptr, [&] { return rlim_t(fileBytes - 1); },
         "started closed error1000002", "error", 0, 1, "File too large", false},
        {"no final name fits into the path", "one", [&](Request &r) { r.dir = deep; QDir().mkpath(deep); }, [] { return RLIM_INFINITY; },
         "started closed error1000002", "error", 0, 1, "File name too long", false},
        {"every name is taken", "one",
         [&](Request &r) {
             for (int n = 1; n <= 1000; ++n) {
                 foreign << firstName + (n == 1 ? QString() : QStringLiteral(" (%1)").arg(n)) + ".mkv";
                 QFile taken(r.dir + '/' + foreign.back());
                 ASSERT_TRUE(taken.open(QIODevice::WriteOnly));
             }
         },
         [] { return RLIM_INFINITY; }, "started closed error1000002", "error", 0, 1, "is taken", false},
        {"damaged H.264 parameter sets", "h264-damaged", nullptr, [] { return RLIM_INFINITY; }, "error1000002",
         "error", 0, 0, "stream description is damaged or missing", false},
        {"damaged HEVC parameter sets", "hevc-damaged", nullptr, [] { return RLIM_INFINITY; }, "error1000002", "error",
         0, 0, "stream description is damaged (", false},
        {"a recording removed during the export", "three",
         [&](Request &r) { r.whileRunning = [&] { QFile::remove(temp.filePath("three-copy/00000002.frag")); }; },
         [] { return RLIM_INFINITY; }, "started closed started closed finished", "finished", 2, 0, "", true},
        {"a recording overwritten during the export", "three",
         [&](Request &r) {
             r.whileRunning = [&] {
                 QFile fragment(temp.filePath("three-copy/00000002.frag"));
                 ASSERT_TRUE(fragment.open(QIODevice::ReadWrite));
                 fragment.write(QByteArray(fragment.size(), '\x5a'));
             };
         },
         [] { return RLIM_INFINITY; }, "started closed started closed finished", "finished", 2, 0, "", true},
    };
    for (const auto &fault : faults) {
        SCOPED_TRACE(fault.name);
        // Each row's own copy of its archive, which it may break.
        const QString archive = temp.filePath(QString(fault.archive) + "-copy");
        QDir(archive).removeRecursively();
        QDir().mkpath(archive);
        for (const QString &file : QDir(temp.filePath(fault.archive)).entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(temp.filePath(fault.archive) + '/' + file, archive + '/' + file));
        Request r = into(QStringLiteral("out-%1").arg(&fault - faults));
        foreign.clear();
        if (fault.arrange)
            fault.arrange(r);
        if (std::exchange(leftOut, false))
            continue;
        Result result;
        {
            FileSizeLimit limit(fault.fileSizeLimit());
            result = runExport(archive, r);
        }
        EXPECT_EQ(result.reports.summary(false), QLatin1String(fault.summary));
        ASSERT_FALSE(result.reports.empty());
        const Report &ending = result.reports.back();
        EXPECT_TRUE(ending.details.reason.contains(QLatin1String(fault.reason))) << qPrintable(ending.details.reason);
        EXPECT_FALSE(ending.details.reason.contains("tmpchunk-")) << "names a file that is gone";

        const std::vector<QJsonObject> records = recordsIn(r.dir);
        ASSERT_EQ(records.size(), *fault.ended ? 1u : 0u);
        QStringList finished, incomplete;
        for (const QString &name : mkvFiles(r.dir)) {
            if (!foreign.contains(name))
                (name.endsWith(".incomplete.mkv") ? incomplete : finished) << name;
        }
        if (records.empty()) {
            EXPECT_TRUE(finished.isEmpty() && incomplete.isEmpty());
            continue;
        }
        const QJsonObject ended = records[0].value("ended").toObject();
        EXPECT_EQ(ended.value("how").toString(), QLatin1String(fault.ended));
        EXPECT_EQ(ended.value("unreadMs").toDouble() > 0, fault.unread);
        EXPECT_EQ(int64_t(ended.value("unreadMs").toDouble()), ending.details.unreadMs);
        EXPECT_TRUE(ending.details.recordPath.startsWith(r.dir + "/export-")) << qPrintable(ending.details.recordPath);
        QStringList listed, listedIncomplete;
        for (const QJsonValue &value : records[0].value("files").toArray()) {
            const QJsonObject file = value.toObject();
            const QString path = r.dir + '/' + file.value("name").toString();
            EXPECT_EQ(file.value("sizeBytes").toDouble(), double(QFileInfo(path).size())) << qPrintable(path);
            if (file.value("complete").toBool()) {
                listed << file.value("name").toString();
                EXPECT_TRUE(hasChecksum(path));
                QFile checksum(path + ".sha256");
                EXPECT_TRUE(checksum.open(QIODevice::ReadOnly));
                EXPECT_EQ(checksum.readAll().left(64), file.value("sha256").toString().toLatin1());
            } else {
                listedIncomplete << file.value("name").toString();
                EXPECT_TRUE(QFileInfo(path).size() > 0 && !QFile::exists(path + ".sha256")) << qPrintable(path);
            }
        }
        EXPECT_EQ(listed, finished);
        EXPECT_EQ(listed.size(), fault.finished);
        EXPECT_EQ(listedIncomplete.size(), fault.incomplete);
        EXPECT_EQ(listedIncomplete, incomplete);
        if (QLatin1String(fault.name) == QLatin1String("none"))
            fileBytes = QFileInfo(result.files.value(0)).size();
        if (fault.unread) {
            QStringList what;
            for (const QJsonValue &gap : records[0].value("gaps").toArray())
                what << gap.toObject().value("what").toString();
            EXPECT_TRUE(what.contains("recorded but could not be read")) << qPrintable(what.join(", "));
        }
    }
}

// Exporting the same period again gives the same bytes, with and without a
// size limit: a file can be confirmed by exporting it once more. Without the
// time track the files split alike and hold the same video and sound.
TEST_F(ExportEndToEnd, ExportsOfOnePeriodAreIdenticalByteForByte)
{
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir(), {"--start", "2024-05-03T09:00:00", "--seconds", "3", "--fragments", "2",
                                                 "--gap", "3", "--video", "mjpeg", "--size", "640x360"}));
    const auto same = [](const Packet &a, const Packet &b) {
        return a.stream == b.stream && a.key == b.key && a.ptsMs == b.ptsMs && a.data == b.data;
    };
    for (int limitMb : {0, 1}) {
        std::vector<QByteArray> checksums;
        std::vector<QStringList> files;
        for (int run = 0; run < 3; ++run) {
            Request r = into(QStringLiteral("out%1-%2").arg(limitMb).arg(run));
            r.limitEnabled = limitMb != 0;
            r.limitMb = limitMb;
            r.timeTrack = run < 2;
            QByteArray lines;
            for (const QString &file : files.emplace_back(runExport(archiveDir(), r).files)) {
                QFile checksum(file + QStringLiteral(".sha256"));
                EXPECT_TRUE(checksum.open(QIODevice::ReadOnly));
                lines += checksum.readAll();
            }
            checksums.push_back(lines);
            EXPECT_EQ(recordsIn(r.dir).at(0).value("timeTrack"), QJsonValue(r.timeTrack));
        }
        // Two files either way: the two recordings, or a size split (with
        // the limit on, the pause between the recordings does not split).
        EXPECT_GE(checksums[0].count('\n'), 2) << limitMb;
        EXPECT_EQ(checksums[0], checksums[1]) << limitMb;
        ASSERT_EQ(files[2].size(), files[0].size()) << limitMb;
        for (int i = 0; i < files[0].size(); ++i) {
            EXPECT_EQ(nameOf(files[2][i]), nameOf(files[0][i]));
            const FileContents with = readFile(files[0][i]), without = readFile(files[2][i]);
            EXPECT_TRUE(std::equal(with.packets.begin(), with.packets.end(), without.packets.begin(),
                                   without.packets.end(), same)) << files[0][i].toStdString();
            EXPECT_FALSE(with.cues.empty());
            EXPECT_TRUE(without.cues.empty() && without.timeTrack.isEmpty());
        }
    }
}

// A fault drill: a folder with spaces and non-ASCII names, holding what other
// exports left. A file that an export killed earlier left there is removed
// by the next export; one that another export is still writing (it holds
// the file's lock, here the test does) stays, as does anything of other names.
TEST_F(ExportEndToEnd, ForeignFolderNamesAndFilesOfOtherExports)
{
    const QString archive = temp.filePath(QStringLiteral("Архив камеры 1"));
    ASSERT_NO_FATAL_FAILURE(synth(archive, {"--start", "2024-05-03T09:15:02", "--seconds", "2", "--size", "160x120"}));
    const Request r = into(QStringLiteral("Export für Gericht/Fall Nr. 7 – ü"));
    const struct {
        const char *name;
        bool locked, removed;
    } files[] = {{"tmpchunk-4242-0a1b2c3d.mkv.part", false, true}, {"tmpchunk-4242-0a1b2c3d.sha256.part", false, true},
                 {"tmpchunk-4243-zzzzzzzz.mkv.part", true, false}, {"tmpchunk-4243-zzzzzzzz.sha256.part", true, false},
                 {"tmpchunk.mkv", false, false}, {"tmpchunk-4242-notes.txt", false, false}};
    std::vector<std::unique_ptr<QFile>> held;
    for (const auto &file : files) {
        QFile &made = *held.emplace_back(std::make_unique<QFile>(r.dir + '/' + file.name));
        ASSERT_TRUE(made.open(QIODevice::WriteOnly) && made.write("partial") == 7 && made.flush());
        ASSERT_TRUE(!file.locked || flock(made.handle(), LOCK_EX | LOCK_NB) == 0);
    }
    const QString exported = r.dir + "/2024.05.03.09.15.02-2024.05.03.09.15.03.mkv";
    ASSERT_TRUE(runExport(archive, r).files.contains(exported));
    EXPECT_EQ(readFile(exported).frames.size(), 50u);
    EXPECT_TRUE(hasChecksum(exported));
    for (const auto &file : files)
        EXPECT_EQ(QFileInfo::exists(r.dir + '/' + file.name), !file.removed) << file.name;
}

// What a camera's codec data may hold when it reaches the writer: libavcodec's
// decoders refuse damaged parameter sets, which the Matroska muxer would read
// without bounds (HEVC) or copy as they are.
TEST(ParameterSets, DamagedSetsNeverReachTheMuxer)
{
    QFile found(QStringLiteral(VELT_SOURCE_DIR "/tests/fuzz/regressions/fuzz_informers/hevc-sps-long-term-refs"));
    ASSERT_TRUE(found.open(QIODevice::ReadOnly));
    const QByteArray sps = QByteArray::fromHex("000000016742c00dda0507e840000003004000000ca3c50aa8");
    const QByteArray pps = QByteArray::fromHex("0000000168ce0fc8");
    // An SPS identifier of 32, out of range, ahead of the SPS in use.
    const QByteArray badSps = QByteArray::fromHex("000000016742c00d0000030000030080");
    const struct {
        const char *name;
        AVCodecID codec;
        QByteArray extradata;
        bool usable;
    } cases[] = {
        {"H.264 sets", AV_CODEC_ID_H264, sps + pps, true},
        {"H.264 sets with a damaged SPS", AV_CODEC_ID_H264, badSps + sps + pps, false},
        {"an H.264 record cut short", AV_CODEC_ID_H264, QByteArray::fromHex("0142c00dffe100306742c00d"), false},
        {"HEVC sets declaring billions of long-term pictures", AV_CODEC_ID_HEVC, found.readAll().mid(3), false},
        {"HEVC without codec data", AV_CODEC_ID_HEVC, QByteArray(), true},
        {"MJPEG", AV_CODEC_ID_MJPEG, badSps, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AVCodecParameters *parameters = avcodec_parameters_alloc();
        parameters->codec_type = AVMEDIA_TYPE_VIDEO;
        parameters->codec_id = c.codec;
        parameters->extradata = static_cast<uint8_t *>(av_mallocz(size_t(c.extradata.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
        parameters->extradata_size = int(c.extradata.size());
        memcpy(parameters->extradata, c.extradata.constData(), size_t(c.extradata.size()));
        EXPECT_EQ(parametersets::usable(parameters), c.usable);
        avcodec_parameters_free(&parameters);
    }
}

}  // namespace
}  // namespace harness
