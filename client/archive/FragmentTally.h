// FragmentTally: what an index says about one fragment (block counts, time
// range, four-character codes, key table), built block by block, in archive
// order, by the recorder while it writes a fragment and by the reader while it
// scans one that has no usable index.
//
// Owned by one user at a time; not thread-safe.
#ifndef CLIENT_ARCHIVE_FRAGMENTTALLY_H_
#define CLIENT_ARCHIVE_FRAGMENTTALLY_H_

#include "client/archive/Format.h"

#include <QByteArray>
#include <vector>

namespace archive {

// A block's key flag as readers see it: the stored flag, or any audio block of
// a fragment without video (the recorder cannot know that when it writes).
bool isKeyBlock(uint8_t flags, uint8_t streamNumber, bool fragmentHasVideo);

class FragmentTally {
public:
    // `payload` points at the block's payload (at least its four-character
    // code); `offsetBytes` is where the block header starts in the file.
    void add(const format::BlockHeader &header, const char *payload, int64_t offsetBytes);

    int64_t blockCount() const { return _header.blockCount; }
    bool hasVideo() const { return _header.videoBlocks > 0; }

    // The index header for the blocks added so far (key table CRC included).
    format::IndexHeader indexHeader(int64_t fragmentId, int64_t dataSizeBytes) const;
    // Key blocks in archive order, with the no-video rule applied.
    const std::vector<format::IndexEntry> &keys() const;
    QByteArray encodedKeys() const;

private:
    format::IndexHeader _header;
    std::vector<format::IndexEntry> _storedKeys;  // blocks written with the key flag
    std::vector<format::IndexEntry> _audio;       // every audio block, kept only until video shows up
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_FRAGMENTTALLY_H_
