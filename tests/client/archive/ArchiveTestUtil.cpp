#include "tests/client/archive/ArchiveTestUtil.h"

#include <gtest/gtest.h>

namespace archivetest {

void record(const QString &dir, const std::vector<std::vector<Block>> &fragments)
{
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(dir, &error);
    ASSERT_TRUE(recorder) << error.toStdString();
    for (const std::vector<Block> &fragment : fragments) {
        ASSERT_TRUE(recorder->beginFragment(&error)) << error.toStdString();
        for (const Block &b : fragment)
            ASSERT_TRUE(recorder->append(b.stream, b.timeMs, b.stream == V && b.key, b.payload, &error))
                << error.toStdString();
        ASSERT_TRUE(recorder->endFragment(&error)) << error.toStdString();
    }
    ASSERT_TRUE(recorder->close(&error)) << error.toStdString();
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
