// velt-archive refusing what it cannot use: exit code 2, one line on
// standard error, and the folder tree exactly as it was before the run.
#include "tests/client/tools/ToolTestUtil.h"

#include <QDirIterator>
#include <QTemporaryDir>

namespace {

using namespace tooltest;

// Every path below `root`, for comparing a tree before and after a run.
QStringList treeOf(const QString &root)
{
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << QDir(root).relativeFilePath(it.next());
    paths.sort();
    return paths;
}

// Every refusal exits with 2, and leaves the working folder as it was.
struct Refusal {
    QStringList arguments;
    QString message;  // the whole of standard error, or its start when it ends with "..."
};

void expectRefused(const QString &workDir, const std::vector<Refusal> &cases)
{
    for (const Refusal &c : cases) {
        SCOPED_TRACE("velt-archive " + c.arguments.join(' ').toStdString());
        const QStringList before = treeOf(workDir);
        const ProcessRun run = runTool(c.arguments, workDir);
        EXPECT_EQ(run.exitCode, 2);
        const QString err = run.err.trimmed();
        if (c.message.endsWith("..."))
            EXPECT_TRUE(err.startsWith(c.message.chopped(3))) << err.toStdString();
        else
            EXPECT_EQ(err.toStdString(), c.message.toStdString());
        EXPECT_EQ(treeOf(workDir).join('\n').toStdString(), before.join('\n').toStdString())
            << "the run left something behind or removed something";
    }
}

// Refused before any work: bad arguments and unusable folders or files.
TEST(BadInput, RefusedWithExitCodeTwoAndOneMessage)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(QDir(tmp.path()).mkpath("full") && QDir(tmp.path()).mkpath("empty"));
    ASSERT_TRUE(clienttest::writeFile(tmp.filePath("notes.txt"), "not media\n"));
    ASSERT_TRUE(clienttest::writeFile(tmp.filePath("full/keep.txt"), "mine"));

    const QString synth = "velt-archive synth: ";
    const QString import = "velt-archive import: ";
    expectRefused(tmp.path(), {
        {{"synth"}, synth + "wrong number of arguments; see velt-archive synth --help"},
        {{"synth", "new", "--colour", "red"}, synth + "Unknown option 'colour'."},
        {{"synth", "new", "--video", "vp9"}, synth + "unknown video codec 'vp9' (choose h264, hevc, mjpeg)"},
        {{"synth", "new", "--audio", "mp3"}, synth + "unknown audio codec 'mp3' (choose aac, ulaw, alaw, none)"},
        {{"synth", "new", "--start", "2024-02-30T10:00:00"},
         synth + "--start must be a local time like 2024-05-01T10:00:00, or one with an offset like "
                 "2024-05-01T10:00:00+02:00, not '2024-02-30T10:00:00'"},
        {{"synth", "new", "--start", "2026-10-25T02:30:00"},
         synth + "--start: 2026-10-25T02:30:00 occurs twice in local time (Europe/Berlin): give "
                 "2026-10-25T02:30:00+02:00 or 2026-10-25T02:30:00+01:00"},
        {{"synth", "new", "--start", "2026-03-29T02:30:00"},
         synth + "--start: 2026-03-29T02:30:00 does not exist in local time (Europe/Berlin): the clocks skip it"},
        {{"synth", "new", "--size", "161x120"},
         synth + "--size must be WxH with even sides from 16 to 8192, like 640x360, not '161x120'"},
        {{"synth", "new", "--fps", "0"}, synth + "--fps must be a rate from 1 to 1000 a second, like 25 or 12.5, not '0'"},
        {{"synth", "new", "--fragments", "two"}, synth + "--fragments must be a positive whole number, not 'two'"},
        {{"synth", "new", "--gop", "-5"}, synth + "--gop must be a positive whole number, not '-5'"},
        {{"synth", "new", "--seconds", "0"}, synth + "--seconds must be a positive number of seconds, not '0'"},
        {{"synth", "new", "--seconds", "1e300"}, synth + "--seconds must be a positive number of seconds, not '1e300'"},
        {{"synth", "new", "--seconds", "300000000", "--fragments", "2000000000"},
         synth + "the recording would last more than a hundred years"},
        {{"synth", "new", "--gap", "-1"}, synth + "--gap must be a non-negative number of seconds, not '-1'"},
        {{"synth", "full"}, synth + "full is not empty; give a new folder for the archive"},
        {{"synth", "notes.txt"}, synth + "notes.txt exists and is not a folder"},
        {{"import", "new"}, import + "wrong number of arguments; see velt-archive import --help"},
        {{"import", "new", "missing.mp4"}, import + "missing.mp4: no such file"},
        {{"import", "new", "notes.txt"},
         import + "notes.txt: not a media file (avformat_open_input: Invalid data found when processing input)"},
        {{"import", "full", "notes.txt"}, import + "full is not empty; give a new folder for the archive"},
        {{"import", "empty", "notes.txt"},
         import + "notes.txt: not a media file (avformat_open_input: Invalid data found when processing input)"},
        {{"info", "missing"}, "velt-archive info: missing: ..."},
        {{"frobnicate"}, "velt-archive: unknown command 'frobnicate'..."},
        {{}, "velt-archive: no command given..."},
    });
}

// Files that open but hold what the archive cannot take, and a failure
// after the archive was begun: the new folder (and the missing parents the
// run made) go, an existing empty folder stays empty.
TEST(BadInput, RefusedMediaLeavesNothingBehind)
{
    QTemporaryDir tmp;
    const QStringList picture = kTestPicture + QStringList{"-t", "1", "-pix_fmt", "yuv420p", "-c:v"};
    const QStringList tone = {"-f", "lavfi", "-i", "sine=sample_rate=16000", "-t", "1", "-c:a"};
    for (const QStringList &file : {picture + QStringList{"libx264", "-bf", "0", "good.mp4"},
                                    picture + QStringList{"libx264", "-bf", "2", "bframes.mp4"},
                                    picture + QStringList{"mpeg4", "mpeg4.avi"}, tone + QStringList{"pcm_s16le", "pcm.wav"},
                                    tone + QStringList{"pcm_mulaw", "ulaw16k.wav"},
                                    // Raw H.264 without its IDR pictures: it opens, but no block can start a fragment.
                                    picture + QStringList{"libx264", "-bf", "0", "-bsf:v", "filter_units=remove_types=5", "nokey.h264"}})
        ASSERT_TRUE(runFfmpeg(file, tmp.path()));
    ASSERT_TRUE(QDir(tmp.path()).mkpath("empty"));
    // An HEVC configuration record announcing more parameter sets than it
    // holds (found by fuzzing; FFmpeg's filter would grow its output once per set).
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELT_FUZZ_DIR "/regressions/fuzz_import/hvcc-announces-more-sets-than-it-holds.mp4"),
                            tmp.filePath("hvcc.mp4")));

    const QString import = "velt-archive import: ";
    const QString bFrames = "the video has B-frames (decode order differs from display order), which blocks of a "
                            "single time cannot hold; re-encode it without B-frames";
    expectRefused(tmp.path(), {
        {{"import", "new", "good.mp4", "bframes.mp4"}, import + "bframes.mp4: " + bFrames},
        {{"import", "new", "mpeg4.avi"},
         import + "mpeg4.avi: video codec mpeg4 is not supported (h264, hevc or mjpeg only)"},
        {{"import", "new", "pcm.wav"},
         import + "pcm.wav: audio codec pcm_s16le is not supported (aac, pcm_mulaw or pcm_alaw only)"},
        {{"import", "new", "ulaw16k.wav"},
         import + "ulaw16k.wav: G.711 audio must be 8000 Hz mono, not 16000 Hz with 1 channel(s)"},
        {{"import", "parent/new", "good.mp4", "nokey.h264"},
         import + "nokey.h264: nothing to import (no video key frame and no audio)"},
        {{"import", "empty", "good.mp4", "nokey.h264"},
         import + "nokey.h264: nothing to import (no video key frame and no audio)"},
        {{"import", "new", "hvcc.mp4"}, import + "hvcc.mp4: the HEVC configuration record is damaged"},
    });
    EXPECT_TRUE(QDir(tmp.filePath("empty")).exists());
}

}  // namespace
