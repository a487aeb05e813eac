// Client interfaces of a channel's recorded archive, as the export engine
// reads it: the reader, its fragment index, the block source and the encoded
// data queue the block source fills.
#ifndef PLUGIN_HOST_ARCHIVE_H_
#define PLUGIN_HOST_ARCHIVE_H_

#include <velt/velt>

#include <QByteArray>
#include <cstdint>
#include <vector>

class IFragmentIndex;
class IBlockSource;
class IEncodedDataQueue;

// One contiguous recording. A time t lies in it when start <= t < end.
struct Fragment {
    int64_t start;  // ms since the Unix epoch
    int64_t end;    // ms since the Unix epoch
    // Three further values of the client's, which the plug-in never reads.
    int64_t other1;
    int64_t other2;
    int64_t other3;
};

// Reader position owned by the caller of readBlock; the queue may update it
// between reads. (0, 0, true) is the start of a new queue.
struct ReadCursor {
    uint32_t segment;
    uint32_t offset;
    bool fresh;
};

class IArchiveReader : public IPolymorph {
public:
    virtual int64_t beginTime() = 0;
    virtual int64_t endTime() = 0;
    // Keeps the archive open while held; nothing is called on it.
    virtual ComponentRef<IPolymorph> hold() = 0;
    virtual ComponentRef<IFragmentIndex> fragmentIndex() = 0;
    virtual ComponentRef<IBlockSource> blockSource() = 0;
};

class IFragmentIndex : public IPolymorph {
public:
    // Appends the fragments in time order; *status is not used by callers.
    virtual void fragments(std::vector<Fragment> *out, int *status) = 0;
    // An operation of the client's that the plug-in never calls: declared
    // only so that timeBounds keeps its place in the interface. Its real
    // arguments are not known here; never call it.
    virtual void unusedOperation() = 0;
    // First and last recorded time; false when the archive is empty.
    virtual bool timeBounds(int64_t *firstMs, int64_t *lastMs, int32_t *count) = 0;
};

class IBlockSource : public IPolymorph {
public:
    // Starts delivering the archive's blocks from `timeMs` into `queue`.
    virtual void feed(int64_t timeMs, ComponentRef<IEncodedDataQueue> queue) = 0;
};

class IEncodedDataQueue : public IPolymorph {
public:
    // Takes the next block. Returns false when nothing is ready now. A video
    // block with empty data is a marker: its time says where data resumes.
    virtual bool readBlock(QByteArray *data, uint32_t *streamNumber, bool *key, int64_t *timeMs,
                           int64_t *scratch, ReadCursor *cursor, int32_t a, int32_t b,
                           int64_t *reserved1, int64_t *reserved2) = 0;
    // Set-up operations, called in this order on every new queue.
    virtual void setMaxBlocks(int32_t value) = 0;
    virtual void setMaxBytes(int32_t value) = 0;
    virtual void setMode(int32_t value) = 0;
};

#endif  // PLUGIN_HOST_ARCHIVE_H_
