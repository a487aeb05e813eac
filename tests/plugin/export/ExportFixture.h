// A test fixture for the export engine against the fake archive and fake
// codecs: the format manager is published in a component manager, the
// output goes to a temporary folder, and the run is finished (controller
// destroyed, thread ended) before the fakes go.
#ifndef TESTS_PLUGIN_EXPORT_EXPORTFIXTURE_H_
#define TESTS_PLUGIN_EXPORT_EXPORTFIXTURE_H_

#include "tests/plugin/export/ExportHarness.h"
#include "tests/support/FakeArchive.h"
#include "tests/support/FakeCodecs.h"

#include "client/runtime/Components.h"
#include "plugin/export/ChunkFile.h"
#include "plugin/host/Guids.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace exporttest {

using testsupport::makeBlock;
using testsupport::makeMarker;

class ExportTest : public testing::Test {
protected:
    ExportTest()
    {
        components.setComponent(guids::kAVFormatManager, codecs.manager());
        archive.setFragments({{1000, 100000}});
    }

    ExportRequest request(int64_t fromMs, int64_t toMs) const
    {
        ExportRequest r;
        r.dir = dir.path();
        r.fromMs = fromMs;
        r.toMs = toMs;
        return r;
    }

    // A video block at t and an audio block at t + 1, every `stepMs`, for
    // fromMs <= t <= toMs.
    void addVideoAndAudio(int64_t fromMs, int64_t toMs, int64_t stepMs = 40)
    {
        for (int64_t t = fromMs; t <= toMs; t += stepMs) {
            archive.script.push_back(makeBlock(0, t));
            archive.script.push_back(makeBlock(8, t + 1));
        }
    }

    // Runs the export to its end and returns the reports without progress.
    QString exportToEnd(const ExportRequest &r)
    {
        if (!run.begin(archive.source(), &components, r))
            return QStringLiteral("no controller");
        const bool ended = run.waitForEnd();
        run.finish();
        return ended ? run.log.summary() : QStringLiteral("hung: ") + run.log.summary();
    }

    QString filePath(const QString &name) const { return QDir(dir.path()).filePath(name); }

    testsupport::FakeArchive archive;
    testsupport::FakeCodecs codecs;
    velt::ComponentManager components;
    QTemporaryDir dir;
    ExportRun run;  // declared last: finished before the fakes go
};

}  // namespace exporttest

#endif  // TESTS_PLUGIN_EXPORT_EXPORTFIXTURE_H_
