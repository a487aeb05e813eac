// The fuzz harnesses: each runs arbitrary bytes through a part of the
// stand-in client that reads untrusted bytes, for the libFuzzer entry points
// (FuzzEntry.cpp, clang builds with -DVELT_FUZZ=ON) and the regression test
// that replays the committed inputs in every build. A harness aborts only
// when the code under test breaks a promise no input may break; each returns
// how far the input got. One thread; one scratch folder for the process.
#ifndef TESTS_FUZZ_HARNESS_H_
#define TESTS_FUZZ_HARNESS_H_

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace fuzzharness {

// Quiets Qt's and FFmpeg's logs, makes the Qt application object when there
// is none yet. Call once before any harness.
void initialize();

// Input: chunks (see chunks()) written in turn as 00000001.frag,
// 00000001.idx, 00000002.frag, ... of an archive folder. Returns the blocks
// delivered reading the archive from its start, -1 when it does not open.
int64_t readArchive(const uint8_t *data, size_t sizeBytes);

// Input: byte 0 picks the codec (H.264, HEVC, MJPEG, AAC, mu-law, A-law),
// then chunks whose header's bit 15 marks a key block. Returns the packets
// written to a Matroska file in memory, -1 when the informer was never ready.
int64_t informBlocks(const uint8_t *data, size_t sizeBytes);

// Input: a media file, imported as `velt-archive import` does into a new
// archive. Returns the blocks imported, or -1 when the file is refused.
int64_t importFile(const uint8_t *data, size_t sizeBytes);

// For the harnesses: an empty folder `name` in the scratch folder.
QString freshFolder(const QString &name);
void writeFile(const QString &path, const QByteArray &bytes);
// Each chunk is a 2-byte little-endian header and (header & sizeMask) bytes;
// a chunk cut short by the input's end is kept short.
std::vector<std::pair<uint16_t, QByteArray>> chunks(const uint8_t *data, size_t sizeBytes, uint16_t sizeMask);
// Says which promise the code under test broke and aborts, so that the
// fuzzer keeps the input.
[[noreturn]] void brokenPromise(const char *what);

}  // namespace fuzzharness

#endif  // TESTS_FUZZ_HARNESS_H_
