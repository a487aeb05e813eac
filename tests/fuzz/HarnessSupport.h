// What the fuzz harnesses share: their scratch folder, the reading of
// length-prefixed chunks from an input, and the stop for a broken promise.
// One thread.
#ifndef TESTS_FUZZ_HARNESSSUPPORT_H_
#define TESTS_FUZZ_HARNESSSUPPORT_H_

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace fuzzharness {

// An empty folder `name` inside the process's scratch folder; whatever the
// previous input left there is gone.
QString freshFolder(const QString &name);
void writeFile(const QString &path, const QByteArray &bytes);

// Reads an input front to back as 2-byte little-endian headers and the
// bytes they announce; a chunk cut short by the input's end is kept short.
class ChunkReader {
public:
    ChunkReader(const uint8_t *data, size_t sizeBytes) : _data(data), _sizeBytes(sizeBytes) {}
    bool atEnd() const { return _offsetBytes >= _sizeBytes; }
    // The next header; 0 when fewer than two bytes are left.
    uint16_t header();
    QByteArray bytes(size_t sizeBytes);

private:
    const uint8_t *_data;
    size_t _sizeBytes;
    size_t _offsetBytes = 0;
};

// The code under test broke a promise that no input may break: says which
// and aborts, so that the fuzzer keeps the input.
[[noreturn]] void brokenPromise(const char *what);

}  // namespace fuzzharness

#endif  // TESTS_FUZZ_HARNESSSUPPORT_H_
