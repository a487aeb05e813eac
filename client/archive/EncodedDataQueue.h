// EncodedDataQueue: the client's encoded data queue component
// ("d906df53-29c0-4164-bf87-578f34c0d21b"). The runtime makes it empty; a
// block source feeds it by attaching a cursor, and readBlock then pulls the
// blocks synchronously from the archive's files: it never answers "not ready"
// while blocks remain, and it answers false at once when it was not fed or
// has delivered its marker.
//
// Any thread; a mutex serialises feed and reads. The queue owns its cursor,
// and through it the opened archive, so that a payload stays valid at least
// until the queue is fed again or destroyed.
#ifndef CLIENT_ARCHIVE_ENCODEDDATAQUEUE_H_
#define CLIENT_ARCHIVE_ENCODEDDATAQUEUE_H_

#include "client/archive/BlockCursor.h"
#include "plugin/host/Archive.h"

#include <memory>
#include <mutex>

namespace archive {

class EncodedDataQueue : public IEncodedDataQueue {
public:
    static constexpr char kGuid[] = "d906df53-29c0-4164-bf87-578f34c0d21b";

    // Replaces whatever the queue was delivering.
    void attach(std::unique_ptr<BlockCursor> cursor);

    bool readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs, int64_t *scratch,
                   ReadCursor *cursor, int32_t a, int32_t b, int64_t *reserved1, int64_t *reserved2) override;
    // Reads are synchronous: there is no buffer to limit, so these are ignored.
    void setMaxBlocks(int32_t) override {}
    void setMaxBytes(int32_t) override {}
    void setMode(int32_t) override {}

private:
    std::mutex _mutex;
    std::unique_ptr<BlockCursor> _cursor;  // guarded by _mutex
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_ENCODEDDATAQUEUE_H_
