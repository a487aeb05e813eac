#include "tests/client/ClientTestUtil.h"
#include "tests/fuzz/Harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace fuzzharness {

namespace {

// Lives until exit: the fuzzer never returns to tear it down earlier.
QTemporaryDir g_scratch(QDir::tempPath() + QStringLiteral("/velt-fuzz-XXXXXX"));

}  // namespace

void initialize()
{
    // Millions of inputs would each print the same warnings.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    av_log_set_level(AV_LOG_QUIET);
    static int argc = 1;
    static char name[] = "velt-fuzz";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);  // lives as long as the process
    if (!g_scratch.isValid())
        brokenPromise("no scratch folder");
}

QString freshFolder(const QString &name)
{
    const QString path = g_scratch.filePath(name);
    if (!QDir(path).removeRecursively() || !QDir().mkpath(path))
        brokenPromise("cannot make a scratch folder");
    return path;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    if (!clienttest::writeFile(path, bytes))
        brokenPromise("cannot write a scratch file");
}

std::vector<std::pair<uint16_t, QByteArray>> chunks(const uint8_t *data, size_t sizeBytes, uint16_t sizeMask)
{
    std::vector<std::pair<uint16_t, QByteArray>> out;
    for (size_t at = 0; at < sizeBytes;) {
        // A last single byte is an empty chunk.
        const uint16_t header = at + 2 <= sizeBytes ? uint16_t(data[at] | data[at + 1] << 8) : 0;
        at = std::min(at + 2, sizeBytes);
        const size_t taken = std::min<size_t>(header & sizeMask, sizeBytes - at);
        out.emplace_back(header, QByteArray(reinterpret_cast<const char *>(data + at), qsizetype(taken)));
        at += taken;
    }
    return out;
}

void brokenPromise(const char *what)
{
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    std::abort();
}

}  // namespace fuzzharness
