// Fault drills: what an export does when its surroundings fail under it.
// Nothing already exported may be lost, and nothing may crash.
#include "tests/plugin/export/Harness.h"

#include "client/media/FourCC.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <sys/file.h>

namespace harness {
namespace {

// A folder with spaces and non-ASCII names, holding what other exports
// left: a file that an export killed earlier left there is removed by the
// next export; one that another export is still writing (it holds the
// file's lock, here the test does) stays, as does anything of other names.
TEST(FaultDrills, ForeignFolderNamesAndFilesOfOtherExports)
{
    QTemporaryDir temp;
    const QString archiveDir = temp.filePath(QStringLiteral("Архив камеры 1"));
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir, {"--start", "2024-05-03T09:15:02", "--seconds", "2", "--size", "160x120"}));
    const QString out = temp.filePath(QStringLiteral("Export für Gericht/Fall Nr. 7 – ü"));
    ASSERT_TRUE(QDir().mkpath(out));
    const struct {
        const char *name;
        bool locked;
        bool removed;
    } files[] = {
        {"tmpchunk-4242-0a1b2c3d.mkv.part", false, true},  {"tmpchunk-4242-0a1b2c3d.sha256.part", false, true},
        {"tmpchunk-4243-zzzzzzzz.mkv.part", true, false},  {"tmpchunk-4243-zzzzzzzz.sha256.part", true, false},
        {"tmpchunk.mkv", false, false},                    {"tmpchunk-4242-notes.txt", false, false},
    };
    std::vector<std::unique_ptr<QFile>> held;
    for (const auto &file : files) {
        held.push_back(std::make_unique<QFile>(out + '/' + file.name));
        ASSERT_TRUE(held.back()->open(QIODevice::WriteOnly));
        held.back()->write("partial");
        held.back()->flush();
        if (file.locked)
            ASSERT_EQ(flock(held.back()->handle(), LOCK_EX | LOCK_NB), 0);
        else
            held.back()->close();
    }
    const Result result = runExport(archiveDir, Request{out});
    const QString exported = out + "/2024.05.03.09.15.02-2024.05.03.09.15.03.mkv";
    ASSERT_TRUE(result.files.contains(exported)) << result.files.join(' ').toStdString();
    EXPECT_EQ(readFile(exported).frames.size(), 50u);
    EXPECT_TRUE(hasChecksum(exported));
    for (const auto &file : files)
        EXPECT_EQ(QFileInfo::exists(out + '/' + file.name), !file.removed) << file.name;
}

TEST(FaultDrills, DamagedArchiveExportsWhatIsReadable)
{
    QTemporaryDir temp;
    const QString archiveDir = temp.filePath(QStringLiteral("archive"));
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir, {"--start", "2024-05-03T09:00:00", "--seconds", "4", "--fragments", "2",
                                               "--gap", "5", "--size", "160x120"}));
    const std::vector<QByteArray> intact = decodeVideo(readArchive(archiveDir));
    // Overwrites bytes in the middle of the first fragment and cuts the second.
    QStringList fragments;
    for (const QFileInfo &file : QDir(archiveDir).entryInfoList(QDir::Files, QDir::Name)) {
        if (file.suffix() != QLatin1String("idx") && file.size() > 10000)
            fragments << file.filePath();
    }
    ASSERT_EQ(fragments.size(), 2);
    {
        QFile first(fragments[0]);
        ASSERT_TRUE(first.open(QIODevice::ReadWrite));
        first.seek(first.size() / 2);
        first.write(QByteArray(64, '\xA5'));
        QFile second(fragments[1]);
        ASSERT_TRUE(second.resize(second.size() * 2 / 3 + 7));
    }
    const Result result = runExport(archiveDir, Request{temp.path()});
    EXPECT_EQ(result.reports.count(ControllerEvent::Error), 0);
    // Every exported picture is a recorded one, in order, from the start.
    const std::vector<QByteArray> exported = framesOf(readFiles(result.files));
    ASSERT_GT(exported.size(), intact.size() / 4);
    EXPECT_LT(exported.size(), intact.size());
    EXPECT_EQ(exported.front(), intact.front());
    auto next = intact.begin();
    for (const QByteArray &frame : exported) {
        next = std::find(next, intact.end(), frame);
        ASSERT_NE(next, intact.end()) << "a picture that was not recorded, or out of order";
        ++next;
    }
}

// A file over 4 GiB: run by hand with VELT_LARGE_TESTS=1 (writes about
// 9 GB: the archive and the export).
TEST(FaultDrills, FileOverFourGibibytes)
{
    if (qEnvironmentVariableIsEmpty("VELT_LARGE_TESTS"))
        GTEST_SKIP() << "set VELT_LARGE_TESTS=1 to write a file over 4 GiB";
    QTemporaryDir temp(QDir::currentPath() + "/large-XXXXXX");
    // One real JPEG picture padded with comment segments to 1 MiB, recorded
    // 4,400 times, 40 ms apart.
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("seed"), {"--seconds", "1", "--size", "160x120", "--video", "mjpeg",
                                                          "--audio", "none"}));
    const QByteArray jpeg = readArchive(temp.filePath("seed")).front().payload.mid(4);
    const int padding = (1 << 20) - int(jpeg.size()) - 4;
    QByteArray picture = fourcc::bytes(fourcc::kMjpeg) + jpeg.left(2);  // SOI
    for (int left = padding; left > 0; left -= 65533) {
        const int chunk = std::min(left, 65533);
        picture += QByteArray("\xFF\xFE", 2) + char((chunk + 2) >> 8) + char((chunk + 2) & 0xff) + QByteArray(chunk, 'x');
    }
    picture += jpeg.mid(2);
    constexpr int kFrames = 4400;
    Piece piece{{}, localMs(QStringLiteral("2024-05-03T09:00:00"))};
    for (int i = 0; i < kFrames; ++i)
        piece.blocks.push_back(ArchiveBlock{0, 40 * i, true, picture});
    ASSERT_NO_FATAL_FAILURE(recordArchive(temp.filePath("archive"), {piece}, true));

    const Result result = runExport(temp.filePath("archive"), Request{temp.path()});
    ASSERT_EQ(result.files.size(), 1);
    EXPECT_GT(QFileInfo(result.files[0]).size(), int64_t(4) << 30);
    EXPECT_EQ(result.reports.count(ControllerEvent::Error), 0);
    const FileContents contents = readFile(result.files[0]);
    ASSERT_EQ(contents.packets.size(), size_t(kFrames));
    EXPECT_EQ(contents.packets.back().ptsMs, 40 * (kFrames - 1));
}

}  // namespace
}  // namespace harness
