// The fuzz harnesses: each runs one input through a part of the stand-in
// client that reads untrusted bytes. The same code serves the libFuzzer
// entry points (FuzzEntry.cpp, clang builds with -DVELT_FUZZ=ON) and the
// regression test that replays the committed corpus and crash inputs in
// every build.
//
// Inputs are arbitrary bytes; a harness never fails on them. It aborts only
// when the code under test breaks one of its own promises (a feed that does
// not move on, an imported archive that does not read back). Each returns
// how far the input got, so the regression test can tell a seed that
// reaches deep from one refused at the door.
//
// One thread; the harnesses keep a scratch folder for the process's life.
#ifndef TESTS_FUZZ_HARNESS_H_
#define TESTS_FUZZ_HARNESS_H_

#include <cstddef>
#include <cstdint>

namespace fuzzharness {

// Quiets Qt's and FFmpeg's logs and makes the Qt application object when
// there is none yet. Call once before any harness.
void initialize();

// Input: chunks, each a 2-byte little-endian length and that many bytes,
// written in turn as 00000001.frag, 00000001.idx, 00000002.frag, ... of an
// archive folder. Returns the blocks delivered (markers not counted) by
// reading the archive through its components from its start, or -1 when
// the archive does not open.
int64_t readArchive(const uint8_t *data, size_t sizeBytes);

// Input: byte 0 picks the codec (H.264, HEVC, MJPEG, AAC, mu-law, A-law);
// then blocks, each a 2-byte little-endian header (bit 15: key, bits 0-14:
// size) and its encoded bytes. Returns the packets the informer made while
// writing a Matroska file to memory, or -1 when it never became ready.
int64_t informBlocks(const uint8_t *data, size_t sizeBytes);

// Input: a media file, imported as `velt-archive import` does into a new
// archive. Returns the blocks imported, or -1 when the file is refused.
int64_t importFile(const uint8_t *data, size_t sizeBytes);

}  // namespace fuzzharness

#endif  // TESTS_FUZZ_HARNESS_H_
