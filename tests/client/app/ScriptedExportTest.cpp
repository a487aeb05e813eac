// `velt-client export`: the real client binary loads the real plug-in and
// drives its dialog. What it prints, the exit code that says how the export
// ended and the files it lists; what the files hold is for the plug-in's
// own end-to-end tests. Then what a recipient runs on an export: `openssl
// cms -verify` and `velt-client verify`.
#include "tests/client/app/AppTestUtil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <climits>
#include <functional>
#include <csignal>
#include <utility>
#include <gtest/gtest.h>

namespace {

using clienttest::readFile;

// The files a run listed ("file NAME  SIZE MB  sha256 HASH"), each with the
// checksum written beside it, which is the file's own.
QStringList listedFiles(const QString &out, const QString &dir)
{
    static const QRegularExpression line("^file (.+)  [0-9.]+ MB  sha256 ([0-9a-f]{64})$", QRegularExpression::MultilineOption);
    QStringList names;
    for (auto it = line.globalMatch(out); it.hasNext();) {
        const QRegularExpressionMatch file = it.next();
        const QString path = dir + QLatin1Char('/') + file.captured(1);
        const QByteArray sha256 = QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex();
        EXPECT_TRUE(readFile(path + ".sha256").startsWith(sha256) && sha256 == file.captured(2)) << qPrintable(path);
        names << file.captured(1);
    }
    names.sort();
    return names;
}

// Progress lines ("progress 57.1 %, 1 file(s), 7.0 MB") never go back and
// end at 100 % with every file listed.
void expectProgress(const QString &out, int files)
{
    static const QRegularExpression line("^progress ([0-9.]+) %, ([0-9]+) file\\(s\\), ([0-9.]+) MB$",
                                         QRegularExpression::MultilineOption);
    std::vector<double> last(4, 0.0);
    for (auto it = line.globalMatch(out); it.hasNext();) {
        const QRegularExpressionMatch progress = it.next();
        for (int i = 1; i < 4; ++i)
            EXPECT_GE(progress.captured(i).toDouble(), std::exchange(last[size_t(i)], progress.captured(i).toDouble()))
                << qPrintable(progress.captured());
    }
    EXPECT_EQ(last[1], 100.0) << qPrintable(out);
    EXPECT_EQ(last[2], files) << qPrintable(out);
}

TEST(ScriptedExport, ExitCodeAndMessageSayHowItEndedAndEveryFileWrittenIsListed)
{
    const QString archive = apptest::sampleArchive();
    ASSERT_FALSE(archive.isEmpty());
    QTemporaryDir tmp;
    const QString t = tmp.path();
    // An archive without recordings, one whose only fragment is not one, a
    // plain file, and a folder so deep that no path of a file in it fits into
    // PATH_MAX, which stops even root from creating one there.
    ASSERT_TRUE(QDir(t).mkpath("empty") && QDir(t).mkpath("damaged"));
    for (const char *name : {"empty/archive.txt", "damaged/archive.txt"})
        ASSERT_TRUE(clienttest::writeFile(t + "/" + name, "velt-archive 1\n"));
    ASSERT_TRUE(clienttest::writeFile(t + "/damaged/00000001.frag", QByteArray(200, 'x')));
    ASSERT_TRUE(clienttest::writeFile(t + "/plain", "not a plug-in"));
    const int longest = PATH_MAX - int(qstrlen("/tmpchunk"));
    QString deep = t + "/deep";
    while (deep.size() < longest)
        deep += QLatin1Char('/') + QString(std::min(200, longest - int(deep.size())), QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(deep));
    const auto period = [](const char *from, const char *to) {
        return QStringList{"--from", QStringLiteral("2026-01-15T%1").arg(from), "--to", QStringLiteral("2026-01-15T%1").arg(to)};
    };
    const QStringList fragmentFiles = {"2026.01.15.10.00.00-2026.01.15.10.00.02.mkv",
                                       "2026.01.15.10.00.05-2026.01.15.10.00.07.mkv",
                                       "2026.01.15.10.00.10-2026.01.15.10.00.12.mkv"};
    const QString noData = "No recorded data in the chosen period";
    // Two recordings of 2 s at 02:10 local time on the night summer time
    // ends (the local tests' zone is Europe/Berlin), one in each 02:10 hour.
    const clienttest::ProcessRun synth = tooltest::runTool({"synth", "dst", "--start", "2026-10-25T02:10:00+02:00", "--fragments", "2",
                                                            "--seconds", "2", "--gap", "3601", "--size", "160x120", "--audio", "none"}, t);
    ASSERT_EQ(synth.exitCode, 0) << qPrintable(synth.err);
    const QString dst = t + "/dst";
    const QStringList summerFile = {"2026.10.25.02.10.00-2026.10.25.02.10.01.mkv"};
    const QStringList winterFile = {"2026.10.25.02.10.03-2026.10.25.02.10.04.mkv"};
    const struct {
        const char *what;
        QStringList arguments;  // after "export"; each row its own --out
        int exitCode;
        QString message;        // in what it printed
        QStringList files;      // the .mkv files in the --out folder
    } cases[] = {
        {"a period over the archive", QStringList{archive, "--out", t + "/0"} + period("09:59:00", "10:01:00"), 0,
         "Done.", fragmentFiles},
        {"the whole archive into a folder it makes", {archive, "--out", t + "/new/sub", "--all"}, 0,
         "Made the folder " + t + "/new/sub", fragmentFiles},
        {"the plug-in's diagnostics at a debug level", {archive, "--out", t + "/9", "--all", "--debug-level", "1"}, 0,
         "Info gathered, fragment start=", fragmentFiles},
        {"without the time track", {archive, "--out", t + "/10", "--all", "--no-time-track"}, 0, "Done.", fragmentFiles},
        {"a period inside the archive, with offsets", {archive, "--out", t + "/1", "--from", "2026-01-15T09:00:06Z", "--to", "2026-01-15T10:00:11+01:00"}, 0,
         "Exporting 2026-01-15T10:00:06+01:00 to 2026-01-15T10:00:11+01:00 of " + archive,
         {"2026.01.15.10.00.06-2026.01.15.10.00.07.mkv", "2026.01.15.10.00.10-2026.01.15.10.00.11.mkv"}},
        {"an instant with a picture", QStringList{archive, "--out", t + "/2"} + period("10:00:00", "10:00:00"), 0,
         "Done.", {"2026.01.15.10.00.00-2026.01.15.10.00.00.mkv"}},
        {"a period in a gap", QStringList{archive, "--out", t + "/4"} + period("10:00:03", "10:00:04"), 3, noData, {}},
        {"an archive without recordings", {t + "/empty", "--out", t + "/6", "--all"}, 3, noData, {}},
        {"a folder where no file can be made", {archive, "--out", deep, "--all"}, 4,
         "export failed: Error: the file cannot be created or written", {}},
        // Refused by the dialog at OK, with the system's reason.
        {"a folder that cannot be written", {archive, "--out", "/proc", "--all"}, 4,
         "export failed: Nothing can be written into this folder: ", {}},
        {"a plug-in that does not load", {archive, "--out", t + "/7", "--all", "--plugin", t + "/plain"}, 1,
         "cannot load the plug-in " + t + "/plain", {}},
        {"the summer time 02:10", {dst, "--out", t + "/s", "--from", "2026-10-25T02:10:00+02:00", "--to", "2026-10-25T02:10:05+02:00"}, 0,
         "Exporting 2026-10-25T02:10:00+02:00 to 2026-10-25T02:10:05+02:00", summerFile},
        {"the winter time 02:10", {dst, "--out", t + "/w", "--from", "2026-10-25T01:10:00Z", "--to", "2026-10-25T02:10:05+01:00"}, 0,
         "Exporting 2026-10-25T02:10:00+01:00 to 2026-10-25T02:10:05+01:00", winterFile},
        {"from summer to winter time", {dst, "--out", t + "/sw", "--from", "2026-10-25T02:50:00+02:00", "--to", "2026-10-25T02:20:00+01:00"}, 0,
         "Done.", winterFile},
        {"a local time that occurs twice", {dst, "--out", t + "/8", "--from", "2026-10-25T02:10:00", "--to", "2026-10-25T02:10:05+01:00"}, 2,
         "--from: 2026-10-25T02:10:00 occurs twice in local time (Europe/Berlin): give 2026-10-25T02:10:00+02:00 or 2026-10-25T02:10:00+01:00", {}},
        {"a local time that does not exist", {archive, "--out", t + "/8", "--from", "2026-03-29T01:30:00", "--to", "2026-03-29T02:30:00"}, 2,
         "--to: 2026-03-29T02:30:00 does not exist in local time (Europe/Berlin): the clocks skip it", {}},
        {"a reversed period", QStringList{archive, "--out", t + "/8"} + period("10:00:05", "10:00:04"), 2,
         "the period is reversed: --to 2026-01-15T10:00:04+01:00 is before --from 2026-01-15T10:00:05+01:00", {}},
        {"no --out", {archive, "--all"}, 2, "missing --out", {}},
        {"two periods", QStringList{archive, "--out", t + "/8", "--all"} + period("10:00:00", "10:01:00"), 2,
         "--all, --yesterday and --from/--to exclude each other", {}},
        {"no period", {archive, "--out", t + "/8"}, 2, "choose the period", {}},
        {"--from alone", {archive, "--out", t + "/8", "--from", "2026-01-15T10:00:00"}, 2, "--from and --to go together", {}},
        {"a malformed time", {archive, "--out", t + "/8", "--from", "2026-01-15 10:00", "--to", "2026-01-15T10:01:00"}, 2,
         "--from: '2026-01-15 10:00' is not a local time", {}},
        {"a limit too large", {archive, "--out", t + "/8", "--all", "--limit-mb", "1025"}, 2,
         "--limit-mb: '1025' is not a whole number from 0 to 1024", {}},
        {"a negative limit", {archive, "--out", t + "/8", "--all", "--limit-mb", "-1"}, 2, "--limit-mb: '-1'", {}},
        {"no archive folder", {t + "/missing", "--out", t + "/8", "--all"}, 2, "there is no archive folder " + t + "/missing", {}},
        {"a folder that is no archive", {t + "/0", "--out", t + "/8", "--all"}, 2, "cannot open the archive " + t + "/0: ", {}},
        {"an archive of no readable fragment", {t + "/damaged", "--out", t + "/8", "--all"}, 2, "no readable fragment", {}},
        {"--out a file", {archive, "--out", t + "/plain", "--all"}, 2, "--out " + t + "/plain is not a folder", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const clienttest::ProcessRun run = clienttest::runProcess(VELT_CLIENT, QStringList{"export"} + c.arguments);
        const QString printed = run.out + run.err;
        EXPECT_EQ(run.exitCode, c.exitCode) << qPrintable(printed);
        EXPECT_TRUE(printed.contains(c.message)) << qPrintable(c.message + " not in:\n" + printed);
        EXPECT_FALSE(printed.contains("components still alive") || printed.contains("nan")) << qPrintable(printed);
        EXPECT_EQ(printed.contains("Info gathered"), c.arguments.contains("--debug-level")) << qPrintable(printed);
        const qsizetype outAt = c.arguments.indexOf("--out");
        const QString out = outAt < 0 ? t : c.arguments[outAt + 1];
        EXPECT_EQ(QDir(out).entryList({"*.mkv"}, QDir::Files, QDir::Name), c.files);
        EXPECT_EQ(listedFiles(run.out, out), c.files);
        if (c.exitCode == 0) {
            expectProgress(run.out, int(c.files.size()));
            const QString record = QDir(out).entryList({"export-*.json"}, QDir::Files).value(0);
            EXPECT_EQ(QJsonDocument::fromJson(readFile(out + "/" + record)).object().value("timeTrack"),
                      QJsonValue(!c.arguments.contains("--no-time-track")));
        }
    }
}

// Two exports of one period into one folder at once: each lists exactly the
// files of its own record, though the other's are named after the same times.
TEST(ScriptedExport, TwoExportsIntoOneFolderListOnlyTheirOwnFiles)
{
    QTemporaryDir tmp;
    // About 6 MB in one fragment, exported as files of 1 MB.
    ASSERT_EQ(tooltest::runTool({"synth", "archive", "--seconds", "20", "--size", "1280x720"}, tmp.path()).exitCode, 0);
    const QString out = tmp.filePath("out");
    QProcess runs[2];
    // One on the platform the client chooses when nothing is set (minimal),
    // the other on the tests' (offscreen).
    QProcessEnvironment chosen = QProcessEnvironment::systemEnvironment();
    chosen.remove("QT_QPA_PLATFORM");
    runs[0].setProcessEnvironment(chosen);
    for (QProcess &run : runs)
        run.start(VELT_CLIENT, {"export", tmp.filePath("archive"), "--out", out, "--all", "--limit-mb", "1"});
    QStringList all;
    for (QProcess &run : runs) {
        ASSERT_TRUE(run.waitForFinished(60000) && run.exitCode() == 0) << run.readAllStandardError().toStdString();
        const QString printed = QString::fromLocal8Bit(run.readAllStandardOutput());
        const QRegularExpressionMatch record = QRegularExpression("^Record (.+)$", QRegularExpression::MultilineOption).match(printed);
        ASSERT_TRUE(record.hasMatch()) << qPrintable(printed);
        const QJsonObject fields = QJsonDocument::fromJson(readFile(record.captured(1))).object();
        // The operator's client session, as the client's session manager
        // gives it: 16 bytes, not the zeros of "nobody signed in".
        EXPECT_TRUE(QRegularExpression("^[0-9a-f]{32}$").match(fields.value("session").toString()).hasMatch());
        EXPECT_NE(fields.value("session").toString(), QString(32, '0'));
        QStringList own;  // the files of the run's record
        for (const QJsonValue &file : fields.value("files").toArray())
            own << file.toObject().value("name").toString();
        own.sort();
        EXPECT_GE(own.size(), 5);
        EXPECT_EQ(listedFiles(printed, out), own);
        all += own;
    }
    all.sort();
    EXPECT_EQ(QDir(out).entryList({"*.mkv"}, QDir::Files, QDir::Name), all) << "every file in one record";
}

// A throw-away authority, an intermediate one and the client's identity,
// made with the openssl command as an administrator would; exports signed,
// unsigned and with a key that cannot be read; and the signed export checked
// by `openssl cms` and by `velt-client verify` after each kind of change.
TEST(ScriptedExport, ARecipientConfirmsWhoSignedAnExportAndFindsEveryChange)
{
    const QString archive = apptest::sampleArchive();
    ASSERT_FALSE(archive.isEmpty());
    QTemporaryDir tmp;
    const QDir t(tmp.path());
    const auto run = [&t](const QString &program, const QStringList &arguments) {
        const clienttest::ProcessRun r = clienttest::runProcess(program, arguments, t.path());
        EXPECT_NE(r.exitCode, -1) << qPrintable(program + ' ' + arguments.join(' '));
        return r;
    };
    const auto openssl = [&run](const QString &arguments) {
        const clienttest::ProcessRun r = run("openssl", arguments.split(' '));
        EXPECT_EQ(r.exitCode, 0) << qPrintable(arguments + '\n' + r.err);
        return r;
    };
    // The plug-in looks in $XDG_CONFIG_HOME/velt-client/export-signing.
    const QString identity = "config/velt-client/export-signing";
    ASSERT_TRUE(t.mkpath(identity) && t.mkpath("broken/velt-client/export-signing"));
    ASSERT_TRUE(clienttest::writeFile(t.filePath("ca.cnf"), "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n"));
    ASSERT_TRUE(clienttest::writeFile(t.filePath("id.cnf"), "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n"));
    for (const char *ca : {"ca", "other"})
        openssl(QStringLiteral("req -x509 -newkey rsa:2048 -noenc -days 2 -keyout %1-key.pem -out %1.pem -subj /CN=%1").arg(ca));
    openssl("req -newkey rsa:2048 -noenc -keyout sub-key.pem -out sub.csr -subj /CN=sub");
    openssl("x509 -req -days 2 -in sub.csr -CA ca.pem -CAkey ca-key.pem -extfile ca.cnf -out " + identity + "/chain.pem");
    openssl("req -newkey rsa:2048 -noenc -keyout " + identity + "/key.pem -out id.csr -subj /O=Site/CN=Exporter");
    openssl("x509 -req -days 2 -in id.csr -CA " + identity + "/chain.pem -CAkey sub-key.pem -extfile id.cnf -out " +
            identity + "/cert.pem");
    ASSERT_TRUE(QFile::copy(t.filePath(identity + "/cert.pem"), t.filePath("broken/velt-client/export-signing/cert.pem")));
    ASSERT_TRUE(clienttest::writeFile(t.filePath("broken/velt-client/export-signing/key.pem"), "not a key\n"));

    const struct {
        const char *what;
        const char *config;  // XDG_CONFIG_HOME under the test's folder
        QString printed;     // by the export
        int verifyCode;      // of `velt-client verify --ca ca.pem`
    } identities[] = {
        {"an identity", "config", "Signed by CN=Exporter,O=Site (export-", 0},
        {"no identity", "none", "Not signed: no signing identity in " + t.filePath("none/velt-client/export-signing"), 1},
        {"a key that cannot be read", "broken",
         "Not signed: cannot read the signing key " + t.filePath("broken/velt-client/export-signing/key.pem"), 1},
    };
    for (const auto &c : identities) {
        SCOPED_TRACE(c.what);
        const clienttest::ProcessRun exported =
            run("env", {"XDG_CONFIG_HOME=" + t.filePath(c.config), VELT_CLIENT, "export", archive, "--out", c.config, "--all"});
        EXPECT_EQ(exported.exitCode, 0) << qPrintable(exported.err);
        EXPECT_TRUE(exported.out.contains(c.printed)) << qPrintable(exported.out);
        const clienttest::ProcessRun verified = run(VELT_CLIENT, {"verify", c.config, "--ca", "ca.pem"});
        EXPECT_EQ(verified.exitCode, c.verifyCode) << qPrintable(verified.out + verified.err);
        EXPECT_EQ(verified.out.count(QRegularExpression("^ok ", QRegularExpression::MultilineOption)), 6 + !c.verifyCode)
            << qPrintable(verified.out);
    }

    // The stock tools: the signature over the record's bytes by the
    // identity, PSS-padded, leads to the authority through the chain it carries.
    const QDir signedOut(t.filePath("config"));
    const QString record = signedOut.entryList({"export-*.json"}).value(0);
    const QStringList files = signedOut.entryList({"*.mkv"}, QDir::Files, QDir::Name);
    ASSERT_EQ(files.size(), 3);
    const clienttest::ProcessRun cms = openssl("cms -verify -binary -inform DER -in config/" + record +
                                               ".p7s -content config/" + record + " -CAfile ca.pem -out /dev/null");
    EXPECT_TRUE(cms.err.contains("Verification successful")) << qPrintable(cms.err);
    EXPECT_TRUE(openssl("cms -cmsout -print -inform DER -in config/" + record + ".p7s").out.contains("rsassaPss"));

    // Each change to a copy of the signed export, and the one line that tells it.
    // A byte in the middle, or the first after `after` (the record stays JSON).
    const auto flipByte = [](const QString &name, const QByteArray &after = QByteArray()) {
        return [name, after](const QDir &dir) {
            QByteArray bytes = clienttest::readFile(dir.filePath(name));
            const qsizetype where = after.isEmpty() ? bytes.size() / 2 : bytes.indexOf(after) + after.size();
            ASSERT_TRUE(where > 0 && where < bytes.size());
            bytes[where] = char(bytes[where] ^ 0x20);
            ASSERT_TRUE(clienttest::writeFile(dir.filePath(name), bytes));
        };
    };
    const struct {
        const char *what;
        std::function<void(const QDir &)> change;
        QString ca;  // --ca
        int exitCode;
        QString line;  // the one line of a problem; for none, one that must be there
    } changes[] = {
        {"none", [](const QDir &) {}, "ca.pem", 0, "ok +" + record + "  \\(signature valid, trusted through ca.pem\\)"},
        {"none, no authority given", [](const QDir &) {}, "", 0, "signer: CN=Exporter,O=Site, certificate sha256 [0-9a-f]{64}"},
        {"none, another authority", [](const QDir &) {}, "other.pem", 3, "untrusted +" + record + "  \\(other.pem does not"},
        {"a byte of a file", flipByte(files[1]), "ca.pem", 3, "changed +" + QRegularExpression::escape(files[1]) + "  \\("},
        {"a byte of a checksum file", flipByte(files[1] + ".sha256"), "ca.pem", 3,
         "changed +" + QRegularExpression::escape(files[1]) + ".sha256"},
        {"a byte of the record", flipByte(record, "\"account\": \""), "ca.pem", 3, "changed +" + record + "  \\(the signature does not match"},
        {"a file removed", [&](const QDir &dir) { ASSERT_TRUE(QFile::remove(dir.filePath(files[0]))); }, "ca.pem", 3,
         "missing +" + QRegularExpression::escape(files[0]) + "$"},
        {"a file added", [&](const QDir &dir) { ASSERT_TRUE(QFile::copy(dir.filePath(files[0]), dir.filePath("x.mkv"))); },
         "ca.pem", 3, "not in any record +x.mkv$"},
    };
    const QRegularExpression problem("^(changed|missing|not in any record|untrusted) ", QRegularExpression::MultilineOption);
    for (const auto &c : changes) {
        SCOPED_TRACE(c.what);
        const QDir copy(t.filePath(QString("copy-%1").arg(&c - changes)));
        ASSERT_TRUE(t.mkpath(copy.path()));
        for (const QString &name : signedOut.entryList(QDir::Files))
            ASSERT_TRUE(QFile::copy(signedOut.filePath(name), copy.filePath(name)));
        c.change(copy);
        const clienttest::ProcessRun verified =
            run(VELT_CLIENT, QStringList{"verify", copy.path()} + (c.ca.isEmpty() ? QStringList() : QStringList{"--ca", c.ca}));
        EXPECT_EQ(verified.exitCode, c.exitCode) << qPrintable(verified.out + verified.err);
        EXPECT_TRUE(verified.out.contains(QRegularExpression("^" + c.line, QRegularExpression::MultilineOption)))
            << qPrintable(c.line + " not in:\n" + verified.out);
        EXPECT_EQ(verified.out.count(problem), c.exitCode ? 1 : 0) << qPrintable(verified.out);
    }
}

// An export stopped by a signal, killed at each step of finishing a file,
// writing to a closed standard output, or over a recording that cannot be
// read. The record always parses; every file under a final name has its
// checksum and is in the record (the only files the record names without
// one under a final name are those a kill stopped before their name, and
// the next export into the folder names them); the exit code says how it
// ended.
TEST(ScriptedExport, SignalsKillsAndAClosedOutputLeaveARecordOfWhatIsThere)
{
    QTemporaryDir tmp;
    // About 6 MB in one fragment, exported as files of 1 MB; and one of
    // three recordings.
    ASSERT_EQ(tooltest::runTool({"synth", "archive", "--seconds", "20", "--size", "1280x720"}, tmp.path()).exitCode, 0);
    ASSERT_EQ(tooltest::runTool({"synth", "three", "--seconds", "3", "--fragments", "3", "--gap", "2", "--size", "320x240"},
                                tmp.path()).exitCode, 0);
    // Damaged past their headers: the second recording of "three", and every
    // one of "none", its copy; the index still lists them.
    ASSERT_TRUE(QDir(tmp.path()).mkpath("none"));
    for (const QString &name : QDir(tmp.filePath("three")).entryList(QDir::Files)) {
        const QByteArray bytes = readFile(tmp.filePath("three/" + name));
        const QByteArray damaged = name.endsWith(".frag") ? bytes.left(64) + QByteArray(bytes.size() - 64, '\xff') : bytes;
        ASSERT_TRUE(clienttest::writeFile(tmp.filePath("none/" + name), damaged));
        if (name == "00000002.frag") {
            ASSERT_TRUE(clienttest::writeFile(tmp.filePath("three/" + name), damaged));
        }
    }
    const struct {
        const char *what;
        const char *archive;
        QString killAt;    // VELT_EXPORT_KILL_AT
        int signal;        // sent once the first file is listed; 0: none
        bool closedOutput;  // standard output read by `head -2`
        int exitCode;      // -1: killed
        const char *ended;  // the record's "how"
        int recordedButMissing;  // files the record names that never got their name
    } cases[] = {
        {"SIGINT", "archive", {}, SIGINT, false, 6, "stopped", 0},
        {"SIGTERM", "archive", {}, SIGTERM, false, 6, "stopped", 0},
        {"SIGHUP", "archive", {}, SIGHUP, false, 6, "stopped", 0},
        {"a closed standard output", "archive", {}, 0, true, 0, "finished", 0},
        {"a recording that cannot be read", "three", {}, 0, false, 5, "finished", 0},
        {"no recording that can be read", "none", {}, 0, false, 5, "finished", 0},
        {"killed after a checksum", "archive", "checksum", 0, false, -1, "running", 0},
        {"killed after a checksum file", "archive", "checksum-file", 0, false, -1, "running", 0},
        {"killed after a record entry", "archive", "record", 0, false, -1, "running", 1},
        {"killed after a final name", "archive", "name", 0, false, -1, "running", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString out = tmp.filePath(QStringLiteral("out%1").arg(&c - cases));
        QStringList command{"env", "VELT_EXPORT_KILL_AT=" + c.killAt, VELT_CLIENT, "export", tmp.filePath(c.archive),
                            "--out", out, "--all", "--limit-mb", "1"};
        if (c.closedOutput)  // the shell reports the client's exit code after head has gone
            command = QStringList{"bash", "-c", "\"$0\" \"$@\" | head -2; exit ${PIPESTATUS[0]}"} + command;
        QProcess run;
        run.start(command.takeFirst(), command);
        ASSERT_TRUE(run.waitForStarted());
        if (c.signal) {
            // Once the record is made the engine runs (a stop before it has
            // started leaves nothing, not even a record). Held while the
            // signal is sent, it takes the signal before it can end.
            while (QDir(out).entryList({"export-*.json"}, QDir::Files).isEmpty() && run.state() == QProcess::Running)
                QThread::msleep(1);
            ::kill(pid_t(run.processId()), SIGSTOP);
            ::kill(pid_t(run.processId()), c.signal);
            ::kill(pid_t(run.processId()), SIGCONT);
        }
        ASSERT_TRUE(run.waitForFinished(60000));
        const QString printed = QString::fromLocal8Bit(run.readAllStandardOutput() + run.readAllStandardError());
        EXPECT_EQ(run.exitStatus() == QProcess::CrashExit ? -1 : run.exitCode(), c.exitCode) << qPrintable(printed);

        const QStringList records = QDir(out).entryList({"export-*.json"}, QDir::Files);
        ASSERT_EQ(records.size(), 1);
        QJsonParseError error{};
        const QJsonObject record = QJsonDocument::fromJson(readFile(out + '/' + records[0]), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError);
        EXPECT_EQ(record.value("ended").toObject().value("how").toString(), QLatin1String(c.ended));
        QStringList recorded;
        int missing = 0;
        for (const QJsonValue &file : record.value("files").toArray()) {
            const QString name = file.toObject().value("name").toString();
            EXPECT_TRUE(readFile(out + '/' + name + ".sha256").startsWith(file.toObject().value("sha256").toString().toLatin1()));
            if (QFile::exists(out + '/' + name))
                recorded << name;
            else
                ++missing;
        }
        recorded.sort();
        EXPECT_EQ(missing, c.recordedButMissing);
        EXPECT_EQ(QDir(out).entryList({"*.mkv"}, QDir::Files, QDir::Name), recorded);
        if (c.exitCode == -1) {
            // The next export into the folder removes what the killed one
            // left unnamed, or names it when its record says it is complete.
            ASSERT_NE(clienttest::runProcess(VELT_CLIENT, {"export", tmp.filePath("three"), "--out", out, "--all"}).exitCode, -1);
            for (const QString &name : recorded)
                EXPECT_TRUE(QFile::exists(out + '/' + name)) << qPrintable(name);
            int named = 0;
            for (const QJsonValue &file : record.value("files").toArray())
                named += QFile::exists(out + '/' + file.toObject().value("name").toString());
            EXPECT_EQ(named, record.value("files").toArray().size());
            EXPECT_TRUE(QDir(out).entryList({"tmpchunk-*"}, QDir::Files).isEmpty());
        }
        EXPECT_TRUE(c.exitCode < 0 || c.closedOutput || listedFiles(printed, out) == recorded) << qPrintable(printed);
        EXPECT_TRUE(c.exitCode != 0 || recorded.size() >= 5);
        EXPECT_EQ(printed.contains("s of recorded time could not be read"), c.exitCode == 5) << qPrintable(printed);
    }
}

}  // namespace
