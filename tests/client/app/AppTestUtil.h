// The sample archive the client application's tests share: three fragments
// of 3 s (320x240 H.264 with AAC) with 2 s gaps, from 2026-01-15 10:00:00
// local time, synthesized by velt-archive on first use.
#ifndef TESTS_CLIENT_APP_APPTESTUTIL_H_
#define TESTS_CLIENT_APP_APPTESTUTIL_H_

#include "tests/client/tools/ToolTestUtil.h"

#include <QTemporaryDir>

namespace apptest {

// The sample archive's folder; empty when it could not be made.
inline QString sampleArchive()
{
    static QTemporaryDir root;  // removed at exit
    static const tooltest::ProcessRun synth = tooltest::runTool(
        {"synth", "archive", "--start", "2026-01-15T10:00:00", "--fragments", "3", "--seconds", "3", "--gap", "2", "--size", "320x240"},
        root.path());
    EXPECT_EQ(synth.exitCode, 0) << synth.err.toStdString();
    return synth.exitCode == 0 ? root.filePath("archive") : QString();
}

}  // namespace apptest

#endif  // TESTS_CLIENT_APP_APPTESTUTIL_H_
