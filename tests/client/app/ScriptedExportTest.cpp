// `velt-client export` end to end: the real client binary loads the real
// plug-in, drives its dialog and exports the sample archive; the files are
// read back with libavformat.
#include "tests/client/app/AppTestUtil.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>

namespace {

using apptest::exportedFiles;
using apptest::probe;
using apptest::runClient;

const QStringList kFragmentFiles = {
    QStringLiteral("2026.01.15.10.00.00-2026.01.15.10.00.02.mkv"),
    QStringLiteral("2026.01.15.10.00.05-2026.01.15.10.00.07.mkv"),
    QStringLiteral("2026.01.15.10.00.10-2026.01.15.10.00.12.mkv"),
};

void expectCleanExit(const apptest::Run &run)
{
    EXPECT_FALSE(run.err.contains(QStringLiteral("components still alive"))) << qPrintable(run.err);
}

// Every file holds H.264 video and AAC audio and lasts about `seconds`.
void expectFile(const QString &path, double seconds)
{
    const apptest::Probe file = probe(path);
    ASSERT_TRUE(file.opened) << qPrintable(path);
    EXPECT_EQ(file.codecs, (QStringList{QStringLiteral("h264"), QStringLiteral("aac")})) << qPrintable(path);
    EXPECT_NEAR(file.durationSeconds, seconds, 0.25) << qPrintable(path);
}

// `sha256sum -c` of every finished file in `dir` (those with a checksum):
// the names checked, empty when one fails.
QStringList verifiedFiles(const QString &dir)
{
    QStringList names;
    for (const QString &sum : QDir(dir).entryList({QStringLiteral("*.mkv.sha256")}, QDir::Files, QDir::Name)) {
        QProcess sha;
        sha.setWorkingDirectory(dir);
        sha.start(QStringLiteral("sha256sum"), {QStringLiteral("-c"), sum});
        if (!sha.waitForFinished() || sha.exitCode() != 0)
            return {};
        names << sum.chopped(int(qstrlen(".sha256")));
    }
    return names;
}

class ScriptedExport : public testing::Test {
protected:
    void SetUp() override
    {
        archive = apptest::sampleArchive();
        ASSERT_FALSE(archive.isEmpty());
        ASSERT_TRUE(out.isValid());
    }
    apptest::Run exportWith(const QStringList &options)
    {
        return runClient(QStringList{QStringLiteral("export"), archive, QStringLiteral("--out"), out.path()} + options);
    }

    QString archive;
    QTemporaryDir out;
};

TEST_F(ScriptedExport, RangeOverTheArchiveWritesOneFilePerFragment)
{
    const apptest::Run run = exportWith({QStringLiteral("--from"), QStringLiteral("2026-01-15T09:59:00"),
                                         QStringLiteral("--to"), QStringLiteral("2026-01-15T10:01:00")});
    ASSERT_EQ(run.exitCode, 0) << qPrintable(run.out + run.err);
    ASSERT_EQ(exportedFiles(out.path()), kFragmentFiles);
    for (const QString &name : kFragmentFiles) {
        expectFile(out.filePath(name), 3.0);
        // Each file is announced with its checksum, which matches the one beside it.
        QFile sum(out.filePath(name + QStringLiteral(".sha256")));
        ASSERT_TRUE(sum.open(QIODevice::ReadOnly)) << qPrintable(name);
        const QString hash = QString::fromLatin1(sum.readAll().left(64));
        EXPECT_TRUE(run.out.contains(QStringLiteral("file %1").arg(name))) << qPrintable(run.out);
        EXPECT_TRUE(run.out.contains(QStringLiteral("sha256 %1").arg(hash))) << qPrintable(run.out);
    }
    EXPECT_EQ(verifiedFiles(out.path()), kFragmentFiles);
    expectCleanExit(run);
}

TEST_F(ScriptedExport, WholeArchiveIntoAFolderItMakes)
{
    const QString target = out.filePath(QStringLiteral("new/sub"));
    const apptest::Run run = runClient(
        {QStringLiteral("export"), archive, QStringLiteral("--out"), target, QStringLiteral("--all")});
    ASSERT_EQ(run.exitCode, 0) << qPrintable(run.out + run.err);
    EXPECT_TRUE(run.out.contains(QStringLiteral("Made the folder %1").arg(target))) << qPrintable(run.out);
    ASSERT_EQ(exportedFiles(target), kFragmentFiles);
    for (const QString &name : kFragmentFiles)
        expectFile(QDir(target).filePath(name), 3.0);
    expectCleanExit(run);
}

TEST_F(ScriptedExport, RangeInsideTheArchiveCutsTheFirstAndLastFragment)
{
    const apptest::Run run = exportWith({QStringLiteral("--from"), QStringLiteral("2026-01-15T10:00:06"),
                                         QStringLiteral("--to"), QStringLiteral("2026-01-15T10:00:11")});
    ASSERT_EQ(run.exitCode, 0) << qPrintable(run.out + run.err);
    const QStringList files = exportedFiles(out.path());
    ASSERT_EQ(files.size(), 2) << qPrintable(files.join(QLatin1Char(' ')));
    // The first file starts at the key frame before the period's start.
    EXPECT_TRUE(files[0].endsWith(QStringLiteral("-2026.01.15.10.00.07.mkv"))) << qPrintable(files[0]);
    EXPECT_EQ(files[1], QStringLiteral("2026.01.15.10.00.10-2026.01.15.10.00.11.mkv"));
    expectFile(out.filePath(files[1]), 1.0);
    expectCleanExit(run);
}

TEST_F(ScriptedExport, SizeLimitSplitsAFragmentIntoFilesOfTheLimit)
{
    QTemporaryDir big;
    const QString dir = big.filePath(QStringLiteral("archive"));
    QString output;
    // About 2.5 MB in one fragment.
    ASSERT_TRUE(apptest::synthesizeHd(dir, 8, &output)) << qPrintable(output);
    const apptest::Run run = runClient({QStringLiteral("export"), dir, QStringLiteral("--out"), out.path(),
                                        QStringLiteral("--all"), QStringLiteral("--limit-mb"), QStringLiteral("1")});
    ASSERT_EQ(run.exitCode, 0) << qPrintable(run.out + run.err);
    const QStringList files = exportedFiles(out.path());
    ASSERT_GE(files.size(), 2) << qPrintable(run.out);
    double totalSeconds = 0.0;
    for (int i = 0; i < files.size(); ++i) {
        const QString path = out.filePath(files[i]);
        const apptest::Probe file = probe(path);
        ASSERT_TRUE(file.opened);
        EXPECT_EQ(file.codecs, (QStringList{QStringLiteral("h264"), QStringLiteral("aac")}));
        totalSeconds += file.durationSeconds;
        // A file is closed only once it has reached the limit.
        if (i + 1 < files.size()) {
            EXPECT_GE(QFileInfo(path).size(), 1 << 20) << qPrintable(files[i]);
        }
    }
    EXPECT_NEAR(totalSeconds, 8.0, 0.5);
    expectCleanExit(run);
}

TEST_F(ScriptedExport, PeriodWithoutRecordingEndsWithNoData)
{
    // After the archive, and within the gap between the first two fragments.
    const QList<QStringList> periods = {
        {QStringLiteral("2026-01-15T11:00:00"), QStringLiteral("2026-01-15T12:00:00")},
        {QStringLiteral("2026-01-15T10:00:03"), QStringLiteral("2026-01-15T10:00:04")},
    };
    for (const QStringList &period : periods) {
        const apptest::Run run =
            exportWith({QStringLiteral("--from"), period[0], QStringLiteral("--to"), period[1]});
        EXPECT_EQ(run.exitCode, 3) << qPrintable(period.join(QLatin1Char(' ')) + run.out + run.err);
        EXPECT_TRUE(run.out.contains(QStringLiteral("No recorded data in the chosen period"))) << qPrintable(run.out);
        expectCleanExit(run);
    }
    EXPECT_TRUE(exportedFiles(out.path()).isEmpty());
}

// A period whose start is its end: the picture at that instant, or no data.
TEST_F(ScriptedExport, PeriodOfZeroLengthEndsLikeAnyOther)
{
    const struct {
        const char *at;
        int exitCode;
        const char *file;  // the one file written, or nullptr
    } cases[] = {
        {"2026-01-15T10:00:00", 0, "2026.01.15.10.00.00-2026.01.15.10.00.00.mkv"},
        {"2026-01-15T10:00:05", 0, "2026.01.15.10.00.05-2026.01.15.10.00.05.mkv"},
        {"2026-01-15T10:00:03", 3, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.at);
        QTemporaryDir target;
        const QString at = QString::fromLatin1(c.at);
        const apptest::Run run = runClient({QStringLiteral("export"), archive, QStringLiteral("--out"), target.path(),
                                            QStringLiteral("--from"), at, QStringLiteral("--to"), at});
        EXPECT_EQ(run.exitCode, c.exitCode) << qPrintable(run.out + run.err);
        EXPECT_FALSE(run.out.contains(QStringLiteral("nan")) || run.err.contains(QStringLiteral("nan")))
            << qPrintable(run.out + run.err);
        if (c.file) {
            EXPECT_EQ(exportedFiles(target.path()), QStringList{QString::fromLatin1(c.file)});
            EXPECT_TRUE(run.out.contains(QStringLiteral("progress 100.0 %"))) << qPrintable(run.out);
            EXPECT_EQ(verifiedFiles(target.path()), QStringList{QString::fromLatin1(c.file)});
        } else {
            EXPECT_TRUE(run.out.contains(QStringLiteral("No recorded data in the chosen period"))) << qPrintable(run.out);
            EXPECT_TRUE(exportedFiles(target.path()).isEmpty());
        }
        expectCleanExit(run);
    }
}

TEST_F(ScriptedExport, FileThatCannotBeCreatedEndsWithTheError)
{
    // A folder so deep that no path of a file in it fits into PATH_MAX,
    // which stops even root from creating one there.
    const int longest = PATH_MAX - int(qstrlen("/tmpchunk"));
    QString deep = out.path();
    while (deep.size() < longest)
        deep += QLatin1Char('/') + QString(std::min(200, int(longest - deep.size())), QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(deep));
    const apptest::Run run = runClient(
        {QStringLiteral("export"), archive, QStringLiteral("--out"), deep, QStringLiteral("--all")});
    EXPECT_EQ(run.exitCode, 4) << qPrintable(run.out + run.err);
    EXPECT_TRUE(run.err.contains(QStringLiteral("export failed: Error: the file cannot be created or written")))
        << qPrintable(run.err);
    EXPECT_TRUE(QDir(deep).isEmpty());
    expectCleanExit(run);
}

TEST_F(ScriptedExport, BadArgumentsAreRefusedWithAReason)
{
    QFile plainFile(out.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();
    const QString o = out.path();
    const struct {
        QStringList arguments;
        QString message;
    } cases[] = {
        {{archive, QStringLiteral("--all")}, QStringLiteral("missing --out")},
        {{archive, QStringLiteral("--out"), o, QStringLiteral("--all"), QStringLiteral("--from"),
          QStringLiteral("2026-01-15T10:00:00"), QStringLiteral("--to"), QStringLiteral("2026-01-15T10:01:00")},
         QStringLiteral("exclude each other")},
        {{archive, QStringLiteral("--out"), o}, QStringLiteral("choose the period")},
        {{archive, QStringLiteral("--out"), o, QStringLiteral("--from"), QStringLiteral("2026-01-15T10:00:00")},
         QStringLiteral("--from and --to go together")},
        {{archive, QStringLiteral("--out"), o, QStringLiteral("--from"), QStringLiteral("2026-01-15 10:00"),
          QStringLiteral("--to"), QStringLiteral("2026-01-15T10:01:00")},
         QStringLiteral("--from: '2026-01-15 10:00' is not a local time")},
        {{archive, QStringLiteral("--out"), o, QStringLiteral("--all"), QStringLiteral("--limit-mb"),
          QStringLiteral("1025")},
         QStringLiteral("--limit-mb: '1025' is not a whole number from 0 to 1024")},
        {{archive, QStringLiteral("--out"), o, QStringLiteral("--all"), QStringLiteral("--limit-mb"),
          QStringLiteral("-1")},
         QStringLiteral("--limit-mb")},
        {{o + QStringLiteral("/missing"), QStringLiteral("--out"), o, QStringLiteral("--all")},
         QStringLiteral("there is no archive folder")},
        {{o, QStringLiteral("--out"), o + QStringLiteral("/target"), QStringLiteral("--all")},
         QStringLiteral("cannot open the archive")},
        {{archive, QStringLiteral("--out"), plainFile.fileName(), QStringLiteral("--all")},
         QStringLiteral("is not a folder")},
    };
    for (const auto &c : cases) {
        const apptest::Run run = runClient(QStringList{QStringLiteral("export")} + c.arguments);
        EXPECT_EQ(run.exitCode, 2) << qPrintable(c.arguments.join(QLatin1Char(' ')) + QLatin1Char('\n') + run.err);
        EXPECT_TRUE(run.err.contains(c.message)) << qPrintable(c.message + QStringLiteral(" not in: ") + run.err);
    }
    EXPECT_TRUE(exportedFiles(o).isEmpty());
}

TEST(ScriptedExportKilled, NextExportIntoTheFolderWorksAndLeavesFinishedFilesAlone)
{
    QTemporaryDir temp;
    const QString dir = temp.filePath(QStringLiteral("archive"));
    const QString out = temp.filePath(QStringLiteral("out"));
    QString output;
    // About 12 MB in one fragment, exported as files of 1 MB.
    ASSERT_TRUE(apptest::synthesizeHd(dir, 40, &output)) << qPrintable(output);
    const QStringList arguments = {QStringLiteral("export"), dir,       QStringLiteral("--out"),
                                   out,                      QStringLiteral("--all"), QStringLiteral("--limit-mb"),
                                   QStringLiteral("1")};

    // Killed (SIGKILL, nothing runs on the way out) once two files are
    // finished, while the next one is being written.
    const auto leftovers = [&out] { return QDir(out).entryList({QStringLiteral("tmpchunk*")}, QDir::Files); };
    QProcess first;
    apptest::startClient(&first, arguments);
    ASSERT_TRUE(first.waitForStarted());
    while (first.state() == QProcess::Running &&
           (QDir(out).entryList({QStringLiteral("*.mkv.sha256")}, QDir::Files).size() < 2 || leftovers().isEmpty()))
        QThread::usleep(500);
    ASSERT_EQ(first.state(), QProcess::Running) << "the export ended before it could be killed";
    first.kill();
    ASSERT_TRUE(first.waitForFinished());
    ASSERT_EQ(first.exitStatus(), QProcess::CrashExit);

    const QStringList finished = verifiedFiles(out);
    ASSERT_GE(finished.size(), 2);
    std::map<QString, QByteArray> sums;
    for (const QString &name : finished) {
        QFile sum(out + QLatin1Char('/') + name + QStringLiteral(".sha256"));
        ASSERT_TRUE(sum.open(QIODevice::ReadOnly));
        sums[name] = sum.readAll();
    }
    const int filesBefore = exportedFiles(out).size();
    EXPECT_LT(filesBefore, 10) << "the kill came too late to test anything";
    ASSERT_FALSE(leftovers().isEmpty());
    // The killed run's record is whole JSON, names its finished files (the
    // last one perhaps not yet) with their checksums, and has not ended.
    const QStringList records = QDir(out).entryList({QStringLiteral("export-*.json")}, QDir::Files);
    ASSERT_EQ(records.size(), 1);
    QFile recordFile(out + QLatin1Char('/') + records[0]);
    ASSERT_TRUE(recordFile.open(QIODevice::ReadOnly));
    const QJsonObject record = QJsonDocument::fromJson(recordFile.readAll()).object();
    EXPECT_EQ(record.value("ended").toObject().value("how").toString(), QStringLiteral("running"));
    const QJsonArray recorded = record.value("files").toArray();
    EXPECT_GE(recorded.size(), std::max<qsizetype>(2, finished.size() - 1));
    for (const QJsonValue &file : recorded) {
        const QString name = file.toObject().value("name").toString();
        ASSERT_EQ(sums.count(name), 1u) << qPrintable(name);
        EXPECT_TRUE(sums[name].startsWith(file.toObject().value("sha256").toString().toLatin1())) << qPrintable(name);
    }

    const apptest::Run second = runClient(arguments);
    ASSERT_EQ(second.exitCode, 0) << qPrintable(second.out + second.err);
    EXPECT_TRUE(second.out.contains(QStringLiteral("Record ") + out + QStringLiteral("/export-"))) << qPrintable(second.out);
    expectCleanExit(second);

    // The killed run's finished files are untouched; the second run made a
    // full, verified set under new names beside them.
    const QStringList verified = verifiedFiles(out);
    ASSERT_FALSE(verified.isEmpty()) << "a checksum no longer matches its file";
    for (const auto &[name, sum] : sums) {
        EXPECT_TRUE(verified.contains(name)) << qPrintable(name);
        QFile now(out + QLatin1Char('/') + name + QStringLiteral(".sha256"));
        ASSERT_TRUE(now.open(QIODevice::ReadOnly));
        EXPECT_EQ(now.readAll(), sum) << qPrintable(name);
    }
    // The partial file the killed run left has gone with the second run.
    EXPECT_TRUE(leftovers().isEmpty()) << qPrintable(leftovers().join(QLatin1Char(' ')));
    double secondRunSeconds = 0.0;
    for (const QString &name : exportedFiles(out)) {
        if (sums.count(name))
            continue;
        const apptest::Probe file = probe(out + QLatin1Char('/') + name);
        ASSERT_TRUE(file.opened) << qPrintable(name);
        if (verified.contains(name))
            secondRunSeconds += file.durationSeconds;
    }
    EXPECT_NEAR(secondRunSeconds, 40.0, 0.5);
}

TEST(ClientWindow, OpensTheExportDialogFromTheFrameAndLeavesNothingAlive)
{
    const QString archive = apptest::sampleArchive();
    ASSERT_FALSE(archive.isEmpty());
    const apptest::Run run = runClient({archive, QStringLiteral("--open-export-dialog-after-ms"),
                                        QStringLiteral("400"), QStringLiteral("--quit-after-ms"),
                                        QStringLiteral("1200")});
    EXPECT_EQ(run.exitCode, 0) << qPrintable(run.err);
    EXPECT_TRUE(run.out.contains(QStringLiteral("closing the open dialog ExportDialog"))) << qPrintable(run.out);
    expectCleanExit(run);
}

}  // namespace
