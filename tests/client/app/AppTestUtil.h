// Helpers of the client application's tests: a small synthesized archive
// shared by the tests of one binary, running velt-client as a process, and
// reading an exported file back with libavformat.
#ifndef TESTS_CLIENT_APP_APPTESTUTIL_H_
#define TESTS_CLIENT_APP_APPTESTUTIL_H_

#include <QString>

class QProcess;
#include <QStringList>

namespace apptest {

// Local start of the sample archive's first fragment: three fragments of
// 3 s (320x240 H.264 with AAC) with 2 s gaps, from 2026-01-15 10:00:00.
constexpr const char kFirstStart[] = "2026-01-15T10:00:00";

// The sample archive's folder, synthesized on first use (empty on failure).
QString sampleArchive();
// A new archive in `dir` made by velt-archive synth with `options`; false
// with the tool's output in *output on failure.
bool synthesize(const QString &dir, const QStringList &options, QString *output);
// One fragment of `seconds` of 1280x720 H.264 with AAC from kFirstStart.
bool synthesizeHd(const QString &dir, int seconds, QString *output);

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};
// Starts velt-client with `arguments` in *client, without a screen.
void startClient(QProcess *client, const QStringList &arguments);
// Runs velt-client with `arguments`, without a screen.
Run runClient(const QStringList &arguments);

struct Probe {
    bool opened = false;
    QStringList codecs;  // per stream, FFmpeg's codec names
    double durationSeconds = 0.0;
};
Probe probe(const QString &path);

// The .mkv files in `dir`, by name.
QStringList exportedFiles(const QString &dir);

}  // namespace apptest

#endif  // TESTS_CLIENT_APP_APPTESTUTIL_H_
