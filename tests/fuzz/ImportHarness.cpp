// velt-archive import over an arbitrary media file, through the command
// itself; whatever it accepts must read back as one complete fragment.
#include "client/archive/ArchiveComponents.h"
#include "client/tools/Commands.h"
#include "tests/fuzz/Harness.h"

namespace fuzzharness {

int64_t importFile(const uint8_t *data, size_t sizeBytes)
{
    const QString dir = freshFolder(QStringLiteral("import"));
    writeFile(dir + QStringLiteral("/input"), QByteArray(reinterpret_cast<const char *>(data), qsizetype(sizeBytes)));
    // A fixed start keeps runs repeatable; the file's creation time would
    // otherwise fall back to the clock.
    if (!tools::runImport({"velt-archive", "import", dir + "/archive", dir + "/input", "--start", "2026-01-01T00:00:00"}).ok())
        return -1;
    std::vector<archive::FragmentInfo> fragments;
    QString error;
    if (!archive::describe(dir + QStringLiteral("/archive"), &fragments, &error) || fragments.size() != 1 ||
        !fragments[0].complete)
        brokenPromise("an imported archive does not read back as one complete fragment");
    return fragments[0].videoBlocks + fragments[0].audioBlocks;
}

}  // namespace fuzzharness
