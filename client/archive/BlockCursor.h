// BlockCursor: the read position of one feed. Made by a block source at the
// feed's time (see "Feeding" in docs/archive-format.md), it then yields the
// fragment's blocks front to back, checking each, and ends with one marker
// block.
//
// Reads the fragment file through one reusable window buffer (pread) and
// hands out each payload as its own copy, so payloads live as long as their
// holders want, independent of the cursor and the archive.
//
// Used by one thread at a time (the queue that owns it serialises access).
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
    // Checks the block at _offsetBytes, refilling the window when the block
    // reaches past it. Payload pointers point into _window.
    BlockCheck checkNextBlock(BlockView *block);
    // Reads the window from _offsetBytes on: at least `wantBytes` (one whole
    // block) and at least kWindowBytes, never past _endBytes.
    void fillWindow(int64_t wantBytes);
    void closeFile();

    const std::shared_ptr<const ArchiveFolder> _archive;
    size_t _fragment;
    std::shared_ptr<FragmentFile> _file;  // null when only the marker is left
    int _fd = -1;
    int64_t _offsetBytes = 0;
    int64_t _endBytes = 0;
    QByteArray _window;               // grows to the largest block read
    int64_t _windowStartBytes = 0;    // file offset of _window[0]
    int64_t _windowSizeBytes = 0;     // bytes of _window read from the file
    uint32_t _blocksTaken = 0;
    State _state = State::Marker;
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_BLOCKCURSOR_H_
