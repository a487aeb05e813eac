// A scripted stand-in for a channel's recorded archive, as the export engine
// sees it through the client's interfaces: an archive video source, its
// reader, fragment index, block source, and the encoded data queue component
// (registered in the runtime under its GUID while the FakeArchive lives).
//
// A test owns one FakeArchive on its own thread, sets the fragments, bounds
// and blocks, then hands source() or reader() to the engine. The components
// it makes may be used on the engine's worker thread; they point back to the
// FakeArchive, which must outlive them (declare it before the controller and
// its thread). Everything recorded is guarded by one mutex, so the test
// thread may poll it while the worker runs.
#ifndef TESTS_SUPPORT_FAKEARCHIVE_H_
#define TESTS_SUPPORT_FAKEARCHIVE_H_

#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// One block as the queue delivers it. `atMs` places it in the archive for
// feeding: a feed from t delivers the script's blocks with atMs >= t, in
// script order. Markers (video blocks without data) may report time 0 and
// still sit at a position.
struct FakeBlock {
    QByteArray data;
    uint32_t streamNumber;
    bool key;
    int64_t timeMs;
    int64_t atMs;
};

// A block of `sizeBytes` (at least 4) whose first four bytes are `fourcc`.
FakeBlock makeBlock(uint32_t streamNumber, int64_t timeMs, bool key = true, int sizeBytes = 16,
                    const char *fourcc = nullptr);
// A video block without data that reports `timeMs`, placed at `atMs`.
FakeBlock makeMarker(int64_t timeMs, int64_t atMs);

class FakeEncodedDataQueue;

class FakeArchive {
public:
    // What a feed puts into the queue: by default the script's blocks from
    // `fromMs` on (see FakeBlock). `feedIndex` counts feeds from 0.
    using FeedPolicy = std::function<void(int64_t fromMs, int feedIndex, FakeEncodedDataQueue &queue)>;

    FakeArchive();
    ~FakeArchive();
    FakeArchive(const FakeArchive &) = delete;
    FakeArchive &operator=(const FakeArchive &) = delete;

    // Set before the engine starts.
    std::vector<Fragment> fragments;
    int64_t beginTimeMs = 0;
    int64_t endTimeMs = 0;
    bool hasReader = true;
    bool hasFragmentIndex = true;
    bool hasBlockSource = true;
    std::vector<FakeBlock> script;
    FeedPolicy feedPolicy;  // empty: the default above

    // One fragment per [start, end) pair; bounds from the first and last.
    void setFragments(const std::vector<std::pair<int64_t, int64_t>> &ranges);

    // References made for the engine.
    ComponentRef<IArchiveVideoSource> source();
    ComponentRef<IArchiveReader> reader();

    // Recorded calls.
    std::vector<int64_t> feedTimes() const;
    int blockSourceCalls() const;
    int queuesMade() const;
    long readCalls() const { return _reads.load(); }
    long blocksDelivered() const { return _delivered.load(); }
    // Set-up calls of the first queue made, as "maxBlocks(-1) maxBytes(-1) mode(1)".
    std::string firstQueueSetup() const;

    // Used by the fake components.
    void recordFeed(int64_t timeMs, const ComponentRef<IEncodedDataQueue> &queue);
    void recordBlockSource();
    void recordSetup(int queueSerial, const std::string &call);
    void recordRead(bool delivered);

private:
    mutable std::mutex _mutex;
    std::vector<int64_t> _feedTimes;
    int _blockSourceCalls = 0;
    int _queuesMade = 0;
    std::string _firstQueueSetup;
    std::atomic<long> _reads{0};
    std::atomic<long> _delivered{0};
};

// The queue component. Used on one thread at a time (the engine's).
class FakeEncodedDataQueue : public IEncodedDataQueue {
public:
    // `serial` counts the queues made for one archive from 1.
    FakeEncodedDataQueue(FakeArchive *archive, int serial) : _archive(archive), _serial(serial) {}

    void push(const FakeBlock &block) { _blocks.push_back(block); }
    // Called when the queue runs dry; returns false when it has nothing more.
    void setGenerator(std::function<bool(FakeBlock *)> generator) { _generator = std::move(generator); }

    bool readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs, int64_t *scratch,
                   ReadCursor *cursor, int32_t a, int32_t b, int64_t *reserved1, int64_t *reserved2) override;
    void setMaxBlocks(int32_t value) override;
    void setMaxBytes(int32_t value) override;
    void setMode(int32_t value) override;

private:
    FakeArchive *_archive;
    int _serial;
    std::deque<FakeBlock> _blocks;
    std::function<bool(FakeBlock *)> _generator;
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_FAKEARCHIVE_H_
