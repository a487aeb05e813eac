// Replays the fuzz targets' committed inputs through the same harnesses in
// every build: the seed corpora, which must reach past each parser's door,
// and every input that once crashed a target, which must now run through
// (a crash ends the test binary).
#include "tests/client/ClientTestUtil.h"
#include "tests/fuzz/Harness.h"

#include <QDir>
#include <gtest/gtest.h>

namespace {

TEST(FuzzInputs, SeedsReachPastTheParserAndFormerCrashesRunThrough)
{
    fuzzharness::initialize();
    const std::pair<const char *, int64_t (*)(const uint8_t *, size_t)> targets[] = {
        {"fuzz_archive_reader", fuzzharness::readArchive},
        {"fuzz_informers", fuzzharness::informBlocks},
        {"fuzz_import", fuzzharness::importFile}};
    for (const auto &[target, harness] : targets) {
        for (const char *kind : {"corpus", "regressions"}) {
            const QDir dir(QStringLiteral(VELT_FUZZ_DIR "/%1/%2").arg(QLatin1String(kind), QLatin1String(target)));
            const QStringList inputs = dir.entryList(QDir::Files, QDir::Name);
            EXPECT_TRUE(kind[0] == 'r' || inputs.size() >= 2) << target;
            for (const QString &input : inputs) {
                const QByteArray bytes = clienttest::readFile(dir.filePath(input));
                const int64_t reached = harness(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
                EXPECT_TRUE(!bytes.isEmpty() && (kind[0] == 'r' || reached > 0)) << qPrintable(dir.filePath(input));
            }
        }
    }
}

}  // namespace
