#include "tests/client/archive/ArchiveTestUtil.h"

#include "plugin/host/Guids.h"

#include <gtest/gtest.h>

namespace archivetest {

std::ostream &operator<<(std::ostream &out, const Block &block)
{
    return out << "{stream " << int(block.stream) << ", " << block.timeMs << " ms, " << (block.key ? "key" : "non-key")
               << ", \"" << block.payload.toStdString() << "\"}";
}

QByteArray payloadFor(uint8_t stream, int64_t timeMs)
{
    const uint32_t code = stream == V ? fourcc::kH264 : fourcc::kAac;
    return fourcc::bytes(code) + QByteArray::number(qlonglong(timeMs));
}

Block video(int64_t timeMs, bool keyFrame) { return Block{V, timeMs, keyFrame, payloadFor(V, timeMs)}; }
Block audio(int64_t timeMs) { return Block{A, timeMs, true, payloadFor(A, timeMs)}; }
Block marker(int64_t timeMs) { return Block{V, timeMs, false, QByteArray()}; }

void record(const QString &dir, const std::vector<std::vector<Block>> &fragments)
{
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(dir, &error);
    ASSERT_TRUE(recorder) << error.toStdString();
    for (const std::vector<Block> &fragment : fragments) {
        ASSERT_TRUE(recorder->beginFragment(&error)) << error.toStdString();
        for (const Block &b : fragment)
            ASSERT_TRUE(recorder->append(b.stream, b.timeMs, b.key, b.payload, &error)) << error.toStdString();
        ASSERT_TRUE(recorder->endFragment(&error)) << error.toStdString();
    }
    ASSERT_TRUE(recorder->close(&error)) << error.toStdString();
}

std::vector<Block> feed(IArchiveReader &reader, int64_t timeMs, int limit)
{
    ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
    EXPECT_TRUE(queue);
    if (!queue)
        return {};
    queue->setMaxBlocks(-1);
    queue->setMaxBytes(-1);
    queue->setMode(1);
    reader.blockSource()->feed(timeMs, queue);
    std::vector<Block> blocks;
    QByteArray data;
    uint32_t stream = 0;
    bool key = false;
    int64_t time = 0, scratch = 0;
    ReadCursor cursor{0, 0, true};
    while (int(blocks.size()) < limit && queue->readBlock(&data, &stream, &key, &time, &scratch, &cursor, 0, 1, nullptr, nullptr))
        blocks.push_back(Block{uint8_t(stream), time, key, QByteArray(data.constData(), data.size())});
    return blocks;
}

std::vector<Block> readToEnd(IArchiveReader &reader)
{
    std::vector<Block> all;
    for (int64_t t = 0; t < kEndMarkerMs;) {
        const std::vector<Block> blocks = feed(reader, t);
        if (blocks.empty() || !blocks.back().payload.isEmpty() || blocks.back().timeMs <= t)
            return all;
        all.insert(all.end(), blocks.begin(), blocks.end() - 1);
        t = blocks.back().timeMs;
    }
    return all;
}

ComponentRef<IArchiveReader> openReader(const QString &dir)
{
    archive::registerComponents();
    QString error;
    ComponentRef<IArchiveVideoSource> source = archive::openSource(dir, &error);
    EXPECT_TRUE(source) << error.toStdString();
    return source ? source->archiveReader() : ComponentRef<IArchiveReader>();
}

}  // namespace archivetest
