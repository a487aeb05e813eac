#include "client/archive/EncodedDataQueue.h"

namespace archive {

EncodedDataQueue::~EncodedDataQueue()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _quit = true;
    }
    _room.notify_all();
    if (_thread.joinable())
        _thread.join();
}

void EncodedDataQueue::attach(std::unique_ptr<BlockCursor> cursor)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _attached = std::move(cursor);
        ++_feed;
        _ahead.clear();
        _aheadBytes = 0;
        _fed = _attached != nullptr;
        if (!_thread.joinable())
            _thread = std::thread(&EncodedDataQueue::readAhead, this);
    }
    _room.notify_all();
    _blocks.notify_all();
}

bool EncodedDataQueue::full() const
{
    return _aheadBytes >= kMaxAheadBytes || _ahead.size() >= kMaxAheadBlocks;
}

bool EncodedDataQueue::halfEmpty() const
{
    return _aheadBytes < kMaxAheadBytes / 2 && _ahead.size() < kMaxAheadBlocks / 2;
}

bool EncodedDataQueue::worthTaking() const
{
    return !_fed || _aheadBytes >= kMaxAheadBytes / 4 || _ahead.size() >= kMaxAheadBlocks / 16;
}

void EncodedDataQueue::readAhead()
{
    std::unique_ptr<BlockCursor> cursor;
    uint64_t feed = 0;
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_quit) {
        if (_attached) {
            cursor = std::move(_attached);
            feed = _feed;
        }
        if (!cursor) {
            _room.wait(lock);
            continue;
        }
        if (full()) {
            // Read on only once half is taken: one wake-up for many blocks.
            _reading = false;
            _room.wait(lock, [this] { return _quit || _attached || halfEmpty(); });
            _reading = true;
            continue;
        }
        // The archive is read and checked outside the lock: the reader takes
        // the blocks read so far meanwhile.
        lock.unlock();
        Ahead ahead;
        const bool more = cursor->next(&ahead.block);
        ahead.position = ReadCursor{uint32_t(cursor->fragment()), cursor->blocksTaken(), false};
        lock.lock();
        if (feed != _feed)
            continue;  // fed anew meanwhile: the block belongs to no one
        if (more) {
            _aheadBytes += ahead.block.payload.size();
            _ahead.push_back(std::move(ahead));
        } else {
            cursor.reset();
            _fed = false;
        }
        if (_taking && worthTaking())
            _blocks.notify_one();
    }
}

bool EncodedDataQueue::readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs,
                                 int64_t *scratch, ReadCursor *cursor, int32_t, int32_t, int64_t *, int64_t *)
{
    Ahead ahead;
    {
        std::unique_lock<std::mutex> lock(_mutex);
        if (_ahead.empty() && _fed) {
            // Woken once a batch is read, not for every block.
            _taking = true;
            _blocks.wait(lock, [this] { return worthTaking(); });
            _taking = false;
        }
        if (_ahead.empty())
            return false;
        ahead = std::move(_ahead.front());
        _ahead.pop_front();
        _aheadBytes -= ahead.block.payload.size();
        if (!_reading && halfEmpty())
            _room.notify_one();
    }
    if (data)
        *data = std::move(ahead.block.payload);
    if (streamNumber)
        *streamNumber = ahead.block.streamNumber;
    if (key)
        *key = ahead.block.key;
    if (timeMs)
        *timeMs = ahead.block.timeMs;
    if (scratch)
        *scratch = 0;
    if (cursor)
        *cursor = ahead.position;
    return true;
}

}  // namespace archive
