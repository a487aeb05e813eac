// velt-archive info: the table of fragments, a fragment cut off by a crash
// included.
#include "tests/client/tools/ToolTestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace tooltest;

TEST(Info, ListsFragmentsAndTellsACutOffOne)
{
    QTemporaryDir tmp;
    ASSERT_EQ(runTool({"synth", "arch", "--size", "160x120", "--seconds", "2", "--fragments", "2", "--gap", "60",
                       "--audio", "ulaw", "--start", "2024-05-01T08:00:00"},
                      tmp.path())
                  .exitCode,
              0);
    // A crash while recording the last fragment: its index never written,
    // its data cut inside a block.
    const QDir dir(tmp.filePath("arch"));
    const QStringList data = dir.entryList({"*.frag"}, QDir::Files, QDir::Name);
    ASSERT_EQ(data.size(), 2) << dir.entryList().join(' ').toStdString();
    QFile::remove(dir.filePath(QFileInfo(data.last()).completeBaseName() + ".idx"));
    QFile last(dir.filePath(data.last()));
    ASSERT_TRUE(last.resize(last.size() - 100));

    const ToolRun run = runTool({"info", "arch"}, tmp.path());
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList lines = run.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    const QStringList first = lines[1].simplified().split(' ');
    // Number, start, end, duration (last block 1.980 s in, plus 1 ms),
    // video and audio with their block counts.
    EXPECT_EQ(first.mid(0, 8).join(' ').toStdString(), "1 2024-05-01T08:00:00 2024-05-01T08:00:01 1.981 H264 x50 ULAW x100");
    EXPECT_EQ(first.last(), "complete");
    const QStringList second = lines[2].simplified().split(' ');
    EXPECT_EQ(second.mid(0, 3).join(' ').toStdString(), "2 2024-05-01T08:01:02 2024-05-01T08:01:03");
    EXPECT_TRUE(lines[2].contains("not ended: ")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("total: 2 fragment(s), ")) << lines[3].toStdString();
    EXPECT_TRUE(lines[3].endsWith(", 1 not ended cleanly")) << lines[3].toStdString();
}

}  // namespace
