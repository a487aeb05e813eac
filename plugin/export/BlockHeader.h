// In-memory description of one block read from the archive.
#ifndef PLUGIN_EXPORT_BLOCKHEADER_H_
#define PLUGIN_EXPORT_BLOCKHEADER_H_

#include <cstdint>

struct BlockHeader {
    uint8_t flags;         // bit 0: key frame
    uint8_t streamNumber;  // 0 video, 8 audio, others neither described nor written
    int64_t time;          // ms since the Unix epoch

    bool isKey() const { return flags & 1; }
};

constexpr uint8_t kVideoStream = 0;
constexpr uint8_t kAudioStream = 8;

// A block time, or a remembered time, of 0 ms means "no time": the queue
// reports it for a block it has no time for, and the controller starts its
// last-written time there before a file's first block.
constexpr int64_t kNoTimeMs = 0;

#endif  // PLUGIN_EXPORT_BLOCKHEADER_H_
