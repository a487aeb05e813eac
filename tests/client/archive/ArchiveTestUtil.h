// Helpers of the archive tests: recording a scripted archive into a folder
// (ArchiveTestUtil.cpp) and reading back what a feed delivers (here, without
// GoogleTest, so that the fuzz harness reads the same way).
#ifndef TESTS_CLIENT_ARCHIVE_ARCHIVETESTUTIL_H_
#define TESTS_CLIENT_ARCHIVE_ARCHIVETESTUTIL_H_

#include "client/archive/ArchiveComponents.h"
#include "client/archive/Recorder.h"
#include "plugin/host/Guids.h"

#include <ostream>
#include <vector>

namespace archivetest {

constexpr uint8_t V = archive::kVideoStream;
constexpr uint8_t A = archive::kAudioStream;
constexpr int64_t kEndMarkerMs = INT64_MAX / 2;

// One block: as appended (key = the video key-frame flag) or as read back
// (key = the delivered flag; an empty payload is a marker).
struct Block {
    uint8_t stream;
    int64_t timeMs;
    bool key;
    QByteArray payload;
    bool operator==(const Block &o) const
    {
        return stream == o.stream && timeMs == o.timeMs && key == o.key && payload == o.payload;
    }
};

inline std::ostream &operator<<(std::ostream &out, const Block &b)
{
    return out << "{stream " << int(b.stream) << ", " << b.timeMs << " ms, " << (b.key ? "key" : "non-key") << ", \""
               << b.payload.toStdString() << "\"}";
}

// Blocks whose small payloads name their code and time, so they are told
// apart. An audio block as a reader sees it: every audio block is key.
inline Block video(int64_t timeMs, bool keyFrame) { return Block{V, timeMs, keyFrame, "H264" + QByteArray::number(timeMs)}; }
inline Block audio(int64_t timeMs) { return Block{A, timeMs, true, "AAC " + QByteArray::number(timeMs)}; }
inline Block marker(int64_t timeMs) { return Block{V, timeMs, false, QByteArray()}; }

// Records `fragments` into a new archive in `dir`; fails the test on error.
// Audio goes in without a key flag: the archive makes every audio block key.
void record(const QString &dir, const std::vector<std::vector<Block>> &fragments);
// The archive's reader (openSource must succeed).
ComponentRef<IArchiveReader> openReader(const QString &dir);

// What `queue` delivers until it answers false or `limit` blocks came.
inline std::vector<Block> take(IEncodedDataQueue &queue, size_t limit)
{
    std::vector<Block> blocks;
    QByteArray data;
    uint32_t stream = 0;
    bool key = false;
    int64_t time = 0, scratch = 0;
    ReadCursor cursor{0, 0, true};
    while (blocks.size() < limit && queue.readBlock(&data, &stream, &key, &time, &scratch, &cursor, 0, 1, nullptr, nullptr))
        blocks.push_back(Block{uint8_t(stream), time, key, QByteArray(data.constData(), data.size())});
    return blocks;
}

// Everything one feed at `timeMs` delivers, marker included, through a queue
// made by the runtime, until the queue answers false or `limit` blocks came.
inline std::vector<Block> feed(IArchiveReader &reader, int64_t timeMs, size_t limit = 100000)
{
    ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
    ComponentRef<IBlockSource> source = reader.blockSource();
    if (!queue || !source)
        return {};
    queue->setMaxBlocks(-1);
    queue->setMaxBytes(-1);
    queue->setMode(1);
    source->feed(timeMs, queue);
    return take(*queue, limit);
}

// The blocks of each fragment, markers left out.
inline std::vector<std::vector<Block>> blocksOf(const QString &dir)
{
    std::vector<std::vector<Block>> result;
    std::vector<Fragment> fragments;
    ComponentRef<IArchiveReader> reader = openReader(dir);
    if (reader)
        reader->fragmentIndex()->fragments(&fragments, nullptr);
    for (const Fragment &fragment : fragments) {
        result.push_back(feed(*reader, fragment.start));
        result.back().pop_back();  // the marker
    }
    return result;
}

}  // namespace archivetest

#endif  // TESTS_CLIENT_ARCHIVE_ARCHIVETESTUTIL_H_
