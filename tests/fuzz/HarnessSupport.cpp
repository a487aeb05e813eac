#include "tests/fuzz/Harness.h"
#include "tests/fuzz/HarnessSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" {
#include <libavutil/log.h>
}

namespace fuzzharness {

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

QTemporaryDir &scratch()
{
    // Lives until exit: the fuzzer never returns to tear it down earlier.
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/velt-fuzz-XXXXXX"));
    return dir;
}

}  // namespace

void initialize()
{
    // Millions of inputs would each print the same warnings.
    qInstallMessageHandler(quiet);
    av_log_set_level(AV_LOG_QUIET);
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "velt-fuzz";
        static char *argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
    }
    if (!scratch().isValid())
        brokenPromise("no scratch folder");
}

QString freshFolder(const QString &name)
{
    const QString path = scratch().filePath(name);
    QDir(path).removeRecursively();
    if (!QDir().mkpath(path))
        brokenPromise("cannot make a scratch folder");
    return path;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        brokenPromise("cannot write a scratch file");
}

uint16_t ChunkReader::header()
{
    if (_sizeBytes - _offsetBytes < 2) {
        _offsetBytes = _sizeBytes;
        return 0;
    }
    const uint16_t value = uint16_t(_data[_offsetBytes] | _data[_offsetBytes + 1] << 8);
    _offsetBytes += 2;
    return value;
}

QByteArray ChunkReader::bytes(size_t sizeBytes)
{
    const size_t taken = std::min(sizeBytes, _sizeBytes - _offsetBytes);
    QByteArray out(reinterpret_cast<const char *>(_data + _offsetBytes), qsizetype(taken));
    _offsetBytes += taken;
    return out;
}

void brokenPromise(const char *what)
{
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    std::abort();
}

}  // namespace fuzzharness
