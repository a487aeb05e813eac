// Fault drills: what an export does when its surroundings fail under it.
// Nothing already exported may be lost, and nothing may crash.
#include "tests/plugin/export/EndToEndHarness.h"

#include "client/archive/Recorder.h"
#include "client/media/FourCC.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <sys/file.h>

using namespace e2e;

TEST(FaultDrills, TargetFolderRemovedDuringAnExport)
{
    QTemporaryDir temp;
    const QString archiveDir = temp.filePath(QStringLiteral("archive"));
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir, {"--start", "2024-05-03T09:00:00", "--seconds", "20", "--fragments", "3",
                                               "--gap", "5", "--size", "320x240"}));
    const QString out = temp.filePath(QStringLiteral("out"));
    ASSERT_TRUE(QDir().mkpath(out));
    // Remove the folder as soon as the first file has started (or give up
    // once the export has returned without one: the checks below then fail).
    std::atomic<bool> exportReturned{false};
    QThread *remover = QThread::create([out, &exportReturned] {
        while (QDir(out).entryList({QStringLiteral("tmpchunk*")}, QDir::Files).isEmpty()) {
            if (exportReturned)
                return;
            QThread::usleep(200);
        }
        // A file the export creates while the folder is being emptied makes
        // the removal fail: remove again until the folder is gone.
        while (!QDir(out).removeRecursively() && !exportReturned)
            QThread::usleep(200);
    });
    remover->start();
    const ExportResult result = runExport(archiveDir, out, {});
    exportReturned = true;
    remover->wait();
    delete remover;
    // The next file cannot be made: the export ends with the write error.
    EXPECT_EQ(result.count(ControllerEvent::Error), 1);
    EXPECT_FALSE(QFileInfo::exists(out));
}

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
        {"tmpchunk-4242-0a1b2c3d.mkv.part", false, true},
        {"tmpchunk-4242-0a1b2c3d.sha256.part", false, true},
        {"tmpchunk-4243-zzzzzzzz.mkv.part", true, false},
        {"tmpchunk-4243-zzzzzzzz.sha256.part", true, false},
        {"tmpchunk.mkv", false, false},
        {"tmpchunk-4242-notes.txt", false, false},
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
    const ExportResult result = runExport(archiveDir, out, {});
    const QString exported = out + "/2024.05.03.09.15.02-2024.05.03.09.15.03.mkv";
    ASSERT_TRUE(result.files.contains(exported)) << result.files.join(' ').toStdString();
    EXPECT_EQ(readFile(exported).videoFrames.size(), 50u);
    EXPECT_EQ(checksumStatus(exported), 0);
    for (const auto &file : files)
        EXPECT_EQ(QFileInfo::exists(out + '/' + file.name), !file.removed) << file.name;
}

TEST(FaultDrills, DamagedArchiveExportsWhatIsReadable)
{
    QTemporaryDir temp;
    const QString archiveDir = temp.filePath(QStringLiteral("archive"));
    ASSERT_NO_FATAL_FAILURE(synth(archiveDir, {"--start", "2024-05-03T09:00:00", "--seconds", "4", "--fragments", "2",
                                               "--gap", "5", "--size", "160x120"}));
    const std::vector<ArchiveBlock> intact = readArchive(archiveDir);
    // Overwrite bytes in the middle of the first fragment and cut the second.
    QStringList files = QDir(archiveDir).entryList(QDir::Files, QDir::Name);
    QStringList fragments;
    for (const QString &file : files)
        if (!file.endsWith(QLatin1String(".idx")) && QFileInfo(archiveDir + "/" + file).size() > 10000)
            fragments << archiveDir + "/" + file;
    ASSERT_EQ(fragments.size(), 2) << files.join(QLatin1Char(' ')).toStdString();
    {
        QFile first(fragments[0]);
        ASSERT_TRUE(first.open(QIODevice::ReadWrite));
        first.seek(first.size() / 2);
        first.write(QByteArray(64, '\xA5'));
        QFile second(fragments[1]);
        ASSERT_TRUE(second.resize(second.size() * 2 / 3 + 7));
    }
    const std::vector<ArchiveBlock> readable = readArchive(archiveDir);
    ASSERT_LT(readable.size(), intact.size());
    ASSERT_GT(readable.size(), intact.size() / 4);

    QTemporaryDir out;
    const ExportResult result = runExport(archiveDir, out.path(), {});
    EXPECT_EQ(result.count(ControllerEvent::Error), 0);
    ASSERT_FALSE(result.files.isEmpty());
    // Every exported frame is a recorded one, in order, from the start.
    const std::vector<QByteArray> exported = framesOf(readFiles(result.files));
    const std::vector<QByteArray> all = decodeVideo(intact);
    ASSERT_FALSE(exported.empty());
    EXPECT_EQ(exported.front(), all.front());
    size_t matched = 0;
    auto next = all.begin();
    for (const QByteArray &frame : exported) {
        const auto found = std::find(next, all.end(), frame);
        if (found != all.end()) {
            ++matched;
            next = found + 1;
        }
    }
    EXPECT_EQ(matched, exported.size());
}

// A file over 4 GiB: run by hand with VELT_LARGE_TESTS=1 (writes about
// 9 GB: the archive and the export).
TEST(FaultDrills, FileOverFourGibibytes)
{
    if (qEnvironmentVariableIsEmpty("VELT_LARGE_TESTS"))
        GTEST_SKIP() << "set VELT_LARGE_TESTS=1 to write a file over 4 GiB";
    QTemporaryDir temp(QDir::currentPath() + "/large-XXXXXX");
    const QString archiveDir = temp.filePath(QStringLiteral("archive"));
    // One real JPEG picture (from a tiny synthetic archive) padded with a
    // comment segment to 1 MiB, recorded 4,400 times, 40 ms apart.
    ASSERT_NO_FATAL_FAILURE(synth(temp.filePath("seed"), {"--seconds", "1", "--size", "160x120", "--video", "mjpeg",
                                                          "--audio", "none"}));
    QByteArray jpeg = readArchive(temp.filePath("seed")).front().payload.mid(4);
    const int padding = (1 << 20) - jpeg.size() - 4;
    QByteArray comment("\xFF\xFE", 2);
    QByteArray filler(padding, 'x');
    QByteArray picture = jpeg.left(2);  // SOI
    for (int left = padding; left > 0; left -= 65533) {
        const int chunk = std::min(left, 65533);
        picture += comment + char((chunk + 2) >> 8) + char((chunk + 2) & 0xff) + filler.left(chunk);
    }
    picture += jpeg.mid(2);
    QString error;
    auto recorder = archive::Recorder::create(archiveDir, &error);
    ASSERT_TRUE(recorder) << error.toStdString();
    ASSERT_TRUE(recorder->beginFragment(&error));
    const int64_t start = localMs(QStringLiteral("2024-05-03T09:00:00"));
    const int frames = 4400;
    for (int i = 0; i < frames; ++i)
        ASSERT_TRUE(recorder->append(0, start + 40 * i, true, fourcc::bytes(fourcc::kMjpeg) + picture, &error));
    ASSERT_TRUE(recorder->close(&error));

    const QString out = temp.filePath(QStringLiteral("out"));
    QDir().mkpath(out);
    const ExportResult result = runExport(archiveDir, out, {});
    ASSERT_EQ(result.files.size(), 1);
    EXPECT_GT(QFileInfo(result.files[0]).size(), int64_t(4) << 30);
    EXPECT_EQ(result.count(ControllerEvent::Error), 0);
    const FileContents contents = readFile(result.files[0]);
    ASSERT_EQ(contents.packets.size(), size_t(frames));
    EXPECT_EQ(contents.packets.back().ptsMs, 40 * (frames - 1));
}
