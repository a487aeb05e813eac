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

// A block's key flag as readers see it: the stored flag, or any audio block
// (archives recorded before every audio block was stored as key have
// non-key audio blocks).
bool isKeyBlock(uint8_t flags, uint8_t streamNumber);

class FragmentTally {
public:
    // `payload` points at the block's payload (at least its four-character
    // code); `offsetBytes` is where the block header starts in the file.
    void add(const format::BlockHeader &header, const char *payload, int64_t offsetBytes);

    int64_t blockCount() const { return _header.blockCount; }
    bool hasVideo() const { return _header.videoBlocks > 0; }

    // The index header for the blocks added so far (key table CRC included).
    format::IndexHeader indexHeader(int64_t fragmentId, int64_t dataSizeBytes) const;
    // Where a feed may start, in archive order: the video key frames, or
    // every audio block of a fragment without video.
    const std::vector<format::IndexEntry> &keys() const;
    QByteArray encodedKeys() const;

private:
    format::IndexHeader _header;
    std::vector<format::IndexEntry> _videoKeys;
    std::vector<format::IndexEntry> _audio;       // every audio block, kept only until video shows up
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_FRAGMENTTALLY_H_
