#include "client/archive/EncodedDataQueue.h"

namespace archive {

void EncodedDataQueue::attach(std::unique_ptr<BlockCursor> cursor)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _cursor = std::move(cursor);
}

bool EncodedDataQueue::readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs,
                                 int64_t *scratch, ReadCursor *cursor, int32_t, int32_t, int64_t *, int64_t *)
{
    std::lock_guard<std::mutex> lock(_mutex);
    BlockCursor::Block block;
    if (!_cursor || !_cursor->next(&block))
        return false;
    if (data)
        *data = std::move(block.payload);
    if (streamNumber)
        *streamNumber = block.streamNumber;
    if (key)
        *key = block.key;
    if (timeMs)
        *timeMs = block.timeMs;
    if (scratch)
        *scratch = 0;
    if (cursor)
        *cursor = ReadCursor{uint32_t(_cursor->fragment()), _cursor->blocksTaken(), false};
    return true;
}

}  // namespace archive
