// The sample archive the client application's tests share: three fragments
// of 3 s (320x240 H.264 with AAC) with 2 s gaps, from 2026-01-15 10:00:00
// local time, synthesized by velt-archive on first use.
#ifndef TESTS_CLIENT_APP_APPTESTUTIL_H_
#define TESTS_CLIENT_APP_APPTESTUTIL_H_

#include "tests/client/ClientTestUtil.h"

#include <QTemporaryDir>

namespace apptest {

// Runs `velt-archive synth DIR options...`; false with its output in *output on failure.
inline bool synthesize(const QString &dir, const QStringList &options, QString *output)
{
    const clienttest::ProcessRun run = clienttest::runProcess(VELT_ARCHIVE_TOOL, QStringList{"synth", dir} + options);
    *output = run.out + run.err;
    return run.exitCode == 0;
}

// The sample archive's folder; empty when it could not be made.
inline QString sampleArchive()
{
    static QTemporaryDir root;  // removed at exit
    static QString output;
    static const bool made = synthesize(root.filePath("archive"), {"--start", "2026-01-15T10:00:00", "--fragments", "3",
                                        "--seconds", "3", "--gap", "2", "--size", "320x240"}, &output);
    if (!made)
        qWarning("velt-archive synth failed: %s", qPrintable(output));
    return made ? root.filePath("archive") : QString();
}

}  // namespace apptest

#endif  // TESTS_CLIENT_APP_APPTESTUTIL_H_
