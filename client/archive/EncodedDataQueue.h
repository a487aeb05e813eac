// EncodedDataQueue: the client's encoded data queue component
// ("d906df53-29c0-4164-bf87-578f34c0d21b"). The runtime makes it empty; a
// block source feeds it by attaching a cursor. From then on a thread of the
// queue's own reads and checks the archive's blocks ahead of the reader, up
// to a bounded amount, so that reading the archive overlaps with what the
// reader does with the blocks. readBlock waits for the next block: it never
// answers "not ready" while blocks remain, and it answers false at once when
// the queue was not fed or has delivered its marker.
//
// Threads: readBlock and attach may be called from any thread (one at a
// time, or several: a mutex guards the shared state); the read-ahead thread
// is the queue's and ends with it. The read-ahead thread owns the cursor it
// reads, and through it the opened archive; every payload is a copy of its
// own, valid as long as its holder keeps it.
#ifndef CLIENT_ARCHIVE_ENCODEDDATAQUEUE_H_
#define CLIENT_ARCHIVE_ENCODEDDATAQUEUE_H_

#include "client/archive/BlockCursor.h"
#include "plugin/host/Archive.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace archive {

class EncodedDataQueue : public IEncodedDataQueue {
public:
    static constexpr char kGuid[] = "d906df53-29c0-4164-bf87-578f34c0d21b";
    // What the read-ahead may hold at most: enough to bridge a refill of the
    // cursor's window, little beside the export's other memory.
    static constexpr int64_t kMaxAheadBytes = 1 << 20;
    static constexpr size_t kMaxAheadBlocks = 256;

    EncodedDataQueue() = default;
    ~EncodedDataQueue() override;
    EncodedDataQueue(const EncodedDataQueue &) = delete;
    EncodedDataQueue &operator=(const EncodedDataQueue &) = delete;

    // Replaces whatever the queue was delivering: blocks read ahead from an
    // earlier cursor are never delivered after this.
    void attach(std::unique_ptr<BlockCursor> cursor);

    bool readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs, int64_t *scratch,
                   ReadCursor *cursor, int32_t a, int32_t b, int64_t *reserved1, int64_t *reserved2) override;
    // The read-ahead has a bound of its own: these are ignored.
    void setMaxBlocks(int32_t) override {}
    void setMaxBytes(int32_t) override {}
    void setMode(int32_t) override {}

private:
    struct Ahead {
        BlockCursor::Block block;
        ReadCursor position;
    };
    void readAhead();
    bool full() const;
    bool halfEmpty() const;
    // Enough is read ahead to wake a waiting reader, or all there is.
    bool worthTaking() const;

    std::mutex _mutex;
    std::condition_variable _blocks;  // for readBlock: a batch was read ahead, or the feed's end
    std::condition_variable _room;    // for the thread: room was made, a cursor came, or the end
    // Guarded by _mutex:
    std::unique_ptr<BlockCursor> _attached;  // handed to the thread at its next turn
    uint64_t _feed = 0;                      // attaches so far; a block of an older feed is dropped
    std::deque<Ahead> _ahead;
    int64_t _aheadBytes = 0;
    bool _fed = false;       // a cursor is attached (or being read) whose marker has not been read
    bool _taking = false;    // readBlock waits for blocks
    bool _reading = true;    // the thread is not waiting for room
    bool _quit = false;
    std::thread _thread;     // started by the first attach
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_ENCODEDDATAQUEUE_H_
