// Replays the fuzz targets' committed inputs through the same harnesses in
// every build: the seed corpora, which must reach past each parser's door,
// and every input that once crashed a target, which must now run through.
#include "tests/fuzz/Harness.h"

#include <QDir>
#include <QFile>
#include <functional>
#include <gtest/gtest.h>

namespace {

using Harness = std::function<int64_t(const uint8_t *, size_t)>;

QStringList filesIn(const QString &kind, const QString &target)
{
    QDir dir(QStringLiteral(VELT_FUZZ_DIR "/") + kind + QLatin1Char('/') + target);
    QStringList paths;
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
        paths.append(dir.filePath(name));
    return paths;
}

int64_t run(const Harness &harness, const QString &path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray bytes = file.readAll();
    return harness(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
}

class FuzzInputs : public testing::TestWithParam<std::pair<const char *, Harness>> {
protected:
    static void SetUpTestSuite() { fuzzharness::initialize(); }
};

TEST_P(FuzzInputs, SeedsReachPastTheParser)
{
    const QStringList seeds = filesIn(QStringLiteral("corpus"), QLatin1String(GetParam().first));
    ASSERT_GE(seeds.size(), 2);
    for (const QString &seed : seeds)
        EXPECT_GT(run(GetParam().second, seed), 0) << seed.toStdString();
}

TEST_P(FuzzInputs, FormerCrashesRunThrough)
{
    // A crash ends the test binary; reaching the end is the pass.
    for (const QString &input : filesIn(QStringLiteral("regressions"), QLatin1String(GetParam().first)))
        run(GetParam().second, input);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs,
                         testing::Values(std::make_pair("fuzz_archive_reader", Harness(fuzzharness::readArchive)),
                                         std::make_pair("fuzz_informers", Harness(fuzzharness::informBlocks)),
                                         std::make_pair("fuzz_import", Harness(fuzzharness::importFile))),
                         [](const testing::TestParamInfo<FuzzInputs::ParamType> &info) {
                             return std::string(info.param.first).substr(5);
                         });

}  // namespace
