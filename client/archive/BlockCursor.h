// BlockCursor: the read position of one feed. Made by a block source at the
// feed's time (see "Feeding" in docs/archive-format.md), it then yields the
// fragment's blocks straight from the mapped file, checking each, and ends
// with one marker block.
//
// Used by one thread at a time (the queue that owns it serialises access).
// Holds the opened archive, so that the payloads it hands out (pointing into
// the fragment's mapping) stay valid while the cursor lives.
#ifndef CLIENT_ARCHIVE_BLOCKCURSOR_H_
#define CLIENT_ARCHIVE_BLOCKCURSOR_H_

#include "client/archive/ArchiveFolder.h"

#include <QByteArray>
#include <memory>

namespace archive {

class BlockCursor {
public:
    struct Block {
        uint8_t streamNumber = 0;
        bool key = false;
        int64_t timeMs = 0;
        QByteArray payload;  // empty for the marker
    };

    BlockCursor(std::shared_ptr<const ArchiveFolder> archive, int64_t timeMs);
    ~BlockCursor();
    BlockCursor(const BlockCursor &) = delete;
    BlockCursor &operator=(const BlockCursor &) = delete;

    // The next block, or false once the marker has been taken.
    bool next(Block *out);
    size_t fragment() const { return _fragment; }
    uint32_t blocksTaken() const { return _blocksTaken; }

private:
    enum class State { Blocks, Marker, Done };
    // Reads ahead and drops behind as the cursor crosses windows of the file.
    void advise();
    // Drops the windows around the cursor from memory.
    void dropAdvisedWindows();

    const std::shared_ptr<const ArchiveFolder> _archive;
    size_t _fragment;
    std::shared_ptr<FragmentFile> _file;        // null when only the marker is left
    std::shared_ptr<const MappedFile> _data;
    int64_t _offsetBytes = 0;
    int64_t _endBytes = 0;
    int64_t _advisedWindow = -1;
    uint32_t _blocksTaken = 0;
    State _state = State::Marker;
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_BLOCKCURSOR_H_
