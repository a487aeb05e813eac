// Recording: what the recorder refuses, the key flags it writes (read back
// through the archive components), and what describe reports.
#include "tests/client/archive/ArchiveTestUtil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace archivetest;

namespace {

class RecorderTest : public testing::Test {
protected:
    QString dir() const { return _tmp.filePath(QStringLiteral("archive")); }
    QTemporaryDir _tmp;
};

TEST_F(RecorderTest, VideoIsKeyAsToldAndEveryAudioBlockIsKey)
{
    record(dir(), {{audio(1000), video(1010, true), audio(1015), video(1030, false), audio(1035)},
                   {audio(5000), audio(5020)}});
    ComponentRef<IArchiveReader> reader = openReader(dir());
    ASSERT_TRUE(reader);
    const std::vector<Block> first{audio(1000), video(1010, true), audio(1015), video(1030, false), audio(1035),
                                   marker(5000)};
    EXPECT_EQ(feed(*reader, 1000), first);
    EXPECT_EQ(feed(*reader, 5000), (std::vector<Block>{audio(5000), audio(5020), marker(kEndMarkerMs)}));
}

TEST_F(RecorderTest, RefusesFoldersThatAreNotNewOrEmpty)
{
    QString error;
    ASSERT_TRUE(QDir().mkpath(dir()));
    QFile other(QDir(dir()).filePath(QStringLiteral("notes.txt")));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();
    EXPECT_FALSE(archive::Recorder::create(dir(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not empty"))) << error.toStdString();
    EXPECT_EQ(QDir(dir()).entryList(QDir::Files), QStringList{QStringLiteral("notes.txt")});

    error.clear();
    EXPECT_FALSE(archive::Recorder::create(other.fileName(), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("is a file"))) << error.toStdString();

    // An archive already recorded there is refused too.
    const QString recorded = _tmp.filePath(QStringLiteral("recorded"));
    record(recorded, {{video(1000, true)}});
    EXPECT_FALSE(archive::Recorder::create(recorded, &error));

    const QString empty = _tmp.filePath(QStringLiteral("empty"));
    ASSERT_TRUE(QDir().mkpath(empty));
    EXPECT_TRUE(archive::Recorder::create(empty, &error)) << error.toStdString();
}

TEST_F(RecorderTest, RefusesBadBlocksAndKeepsWhatCameBefore)
{
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(dir(), &error);
    ASSERT_TRUE(recorder);
    EXPECT_FALSE(recorder->append(V, 1000, true, payloadFor(V, 1000), &error)) << "no fragment begun";
    ASSERT_TRUE(recorder->beginFragment(&error));
    ASSERT_TRUE(recorder->append(V, 1000, true, payloadFor(V, 1000), &error));
    ASSERT_TRUE(recorder->append(A, 1010, false, payloadFor(A, 1010), &error));

    error.clear();
    EXPECT_FALSE(recorder->append(V, 1009, false, payloadFor(V, 1009), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("time goes back"))) << error.toStdString();
    EXPECT_FALSE(recorder->append(A, 999, false, payloadFor(A, 999), &error)) << "back across streams";
    EXPECT_FALSE(recorder->append(3, 1020, false, payloadFor(V, 1020), &error)) << "unknown stream";
    EXPECT_FALSE(recorder->append(V, 1020, false, QByteArray("H26"), &error)) << "no room for a code";
    EXPECT_FALSE(recorder->append(V, 0, false, payloadFor(V, 0), &error)) << "time 0";

    // Equal times are fine; a new fragment must start after the last block.
    ASSERT_TRUE(recorder->append(V, 1010, false, payloadFor(V, 1010), &error));
    ASSERT_TRUE(recorder->beginFragment(&error));
    EXPECT_FALSE(recorder->append(V, 1010, true, payloadFor(V, 1010), &error));
    ASSERT_TRUE(recorder->append(V, 1011, true, payloadFor(V, 1011), &error));
    ASSERT_TRUE(recorder->close(&error));

    ComponentRef<IArchiveReader> reader = openReader(dir());
    ASSERT_TRUE(reader);
    EXPECT_EQ(feed(*reader, 1000),
              (std::vector<Block>{video(1000, true), audio(1010), video(1010, false), marker(1011)}));
}

TEST_F(RecorderTest, DescribeReportsEachFragment)
{
    record(dir(), {
                      {video(1000, true), audio(1001), video(1040, false), audio(1041)},
                      {audio(2000), audio(2020)},
                  });
    std::vector<archive::FragmentInfo> fragments;
    QString error;
    ASSERT_TRUE(archive::describe(dir(), &fragments, &error)) << error.toStdString();
    ASSERT_EQ(fragments.size(), 2u);
    const archive::FragmentInfo &f = fragments[0];
    EXPECT_EQ(f.startMs, 1000);
    EXPECT_EQ(f.endMs, 1042);
    EXPECT_EQ(f.videoBlocks, 2);
    EXPECT_EQ(f.audioBlocks, 2);
    EXPECT_EQ(f.videoFourcc, fourcc::kH264);
    EXPECT_EQ(f.audioFourcc, fourcc::kAac);
    EXPECT_EQ(f.sizeBytes, QFileInfo(QDir(dir()).filePath(QStringLiteral("00000001.frag"))).size());
    EXPECT_TRUE(f.complete) << f.status.toStdString();
    EXPECT_EQ(fragments[1].videoFourcc, 0u);
    EXPECT_EQ(fragments[1].audioBlocks, 2);
}

TEST_F(RecorderTest, WhatWasAppendedIsOnDiskBeforeTheFragmentEnds)
{
    // What a killed recorder leaves: the files as they are while it records.
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(dir(), &error);
    ASSERT_TRUE(recorder);
    ASSERT_TRUE(recorder->beginFragment(&error));
    for (const Block &b : {video(1000, true), audio(1010), video(1040, false), audio(1050)})
        ASSERT_TRUE(recorder->append(b.stream, b.timeMs, b.key, b.payload, &error));
    std::vector<archive::FragmentInfo> fragments;
    ASSERT_TRUE(archive::describe(dir(), &fragments, &error)) << error.toStdString();
    ASSERT_EQ(fragments.size(), 1u);
    EXPECT_FALSE(fragments[0].complete);
    EXPECT_TRUE(fragments[0].status.contains(QStringLiteral("no index"))) << fragments[0].status.toStdString();
    EXPECT_EQ(fragments[0].videoBlocks, 2);
    EXPECT_EQ(fragments[0].audioBlocks, 2);
    ComponentRef<IArchiveReader> reader = openReader(dir());
    ASSERT_TRUE(reader);
    EXPECT_EQ(feed(*reader, 1000), (std::vector<Block>{video(1000, true), audio(1010), video(1040, false),
                                                        audio(1050), marker(kEndMarkerMs)}));
}

}  // namespace
