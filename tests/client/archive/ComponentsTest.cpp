// The archive as client components: interfaces reached from one another,
// counter blocks in the runtime's ledger, and payload lifetime.
#include "tests/client/archive/ArchiveTestUtil.h"

#include "plugin/host/Guids.h"
#include "tests/support/Ledger.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;

namespace {

class ComponentsTest : public testing::Test {
protected:
    void SetUp() override
    {
        archive::registerComponents();
        record(dir(), {{video(1000, true), audio(1010), video(1040, false)}, {video(3000, true)}});
    }
    QString dir() const { return _tmp.filePath(QStringLiteral("cam1")); }
    QTemporaryDir _tmp;
};

TEST_F(ComponentsTest, TheSourceIsOneObjectWithOneCounterBlock)
{
    QString error;
    ComponentRef<IArchiveVideoSource> source = archive::openSource(dir(), &error);
    ASSERT_TRUE(source) << error.toStdString();
    EXPECT_EQ(testsupport::liveCount("archive.VideoSource"), 1);

    ComponentRef<IVideoSource> videoRef = source->videoSource();
    ASSERT_TRUE(videoRef);
    EXPECT_EQ(videoRef._counter, source._counter);
    EXPECT_EQ(source._counter->strong.load(), 2u);
    // What the export dialog and controller do with it.
    ComponentRef<IArchiveVideoSource> back(videoRef);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.get(), source.get());
    ComponentRef<IDataSource> data(videoRef);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->channelName(), QStringLiteral("cam1"));
    ComponentRef<IArchiveReader> reader = data->archiveReader();
    ASSERT_TRUE(reader);
    ComponentRef<IPolymorph> hold = reader->hold();
    EXPECT_TRUE(hold);

    // The reader and the hold keep the archive readable without the source.
    source.reset();
    videoRef.reset();
    back.reset();
    data.reset();
    EXPECT_EQ(testsupport::liveCount("archive.VideoSource"), 0);
    EXPECT_EQ(feed(*reader, 3000), (std::vector<Block>{video(3000, true), marker(kEndMarkerMs)}));
    reader.reset();
    hold.reset();
    EXPECT_TRUE(velt::liveBlocks().empty()) << velt::describeLiveBlocks();
}

TEST_F(ComponentsTest, PayloadsStayValidWhileTheQueueLives)
{
    ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
    ASSERT_TRUE(queue);
    {
        QString error;
        ComponentRef<IArchiveVideoSource> source = archive::openSource(dir(), &error);
        ASSERT_TRUE(source);
        source->archiveReader()->blockSource()->feed(1000, queue);
    }
    EXPECT_EQ(testsupport::liveCount("archive.VideoSource"), 0);
    QByteArray data;
    uint32_t stream = 0;
    bool key = false;
    int64_t time = 0;
    ASSERT_TRUE(queue->readBlock(&data, &stream, &key, &time, nullptr, nullptr, 0, 1, nullptr, nullptr));
    const QByteArray kept = data;  // shares the payload's bytes
    ASSERT_TRUE(queue->readBlock(&data, &stream, &key, &time, nullptr, nullptr, 0, 1, nullptr, nullptr));
    EXPECT_EQ(kept, payloadFor(V, 1000));
    EXPECT_EQ(data, payloadFor(A, 1010));
}

}  // namespace
