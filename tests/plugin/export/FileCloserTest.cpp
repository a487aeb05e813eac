// Files finished while the next is written: the receiver gets the reports in
// the order they were made, a file's FileClosed (after its checksum, made on
// the closer's thread) before what followed its close. A record that cannot
// be rewritten (a full disk) stays as it was, and the file it could not
// enter gets no final name. The record and the .sha256 files of real exports
// are checked end to end.
#include "plugin/export/Events.h"
#include "plugin/export/FileCloser.h"
#include "plugin/export/TemporaryFile.h"
#include "tests/plugin/export/Harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Receiver : QObject {
    std::vector<std::pair<uint32_t, int64_t>> reports;  // kind, time
    void customEvent(QEvent *event) override
    {
        auto *report = static_cast<ControllerEvent *>(event);
        reports.emplace_back(report->kind, report->time);
    }
};

TEST(FileCloserTest, ReportsKeepTheirOrderAndFilesTheirChecksums)
{
    QTemporaryDir dir;
    Receiver receiver;
    ExportRecord record(QByteArray(), false, 0);
    ASSERT_TRUE(record.create(dir.path(), 0, 1000, {}, {}, true));
    const int sizes[] = {24 << 20, 3 << 20, 1, 1};  // the first takes a while to checksum
    QByteArray recorded;  // the record before the last file
    QString failure;
    {
        FileCloser closer(&receiver, true);
        for (int i = 0; i < 4; ++i) {
            std::unique_ptr<harness::FileSizeLimit> full;
            if (i == 3) {
                closer.drain();
                recorded = readAll(record.path());
                full = std::make_unique<harness::FileSizeLimit>(recorded.size());
            }
            closer.post(new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, i * 10));
            closer.post(new ControllerEvent(ControllerEvent::Progress, 0, 0.5, -1));
            FileCloser::Closed closed;
            closed.file = TemporaryFile::create(dir.path(), TemporaryFile::kChunkSuffix);
            closed.wanted = dir.filePath(QString::number(i) + ".mkv");
            ASSERT_TRUE(closed.file->write(QByteArray(sizes[i], 'a')));
            closed.complete = true;
            closed.record = &record;
            closed.lastMs = i * 10 + 9;
            closer.close(std::move(closed));
            if (full)
                closer.drain();
        }
        failure = closer.takeFailure();
        closer.post(new ControllerEvent(ControllerEvent::Finished, 0, -1.0, -1));
    }
    QCoreApplication::sendPostedEvents(&receiver);
    std::vector<std::pair<uint32_t, int64_t>> expected;
    for (int i = 0; i < 4; ++i)
        expected.insert(expected.end(), {{ControllerEvent::FileStarted, i * 10}, {ControllerEvent::Progress, -1},
                                         {ControllerEvent::FileClosed, i * 10 + 9}});
    expected.push_back({ControllerEvent::Finished, -1});
    EXPECT_EQ(receiver.reports, expected);
    EXPECT_TRUE(QFile::exists(dir.filePath("0.mkv.sha256")) && QFile::exists(dir.filePath("2.mkv.sha256")));
    EXPECT_TRUE(failure.startsWith("File too large")) << failure.toStdString();
    EXPECT_EQ(readAll(record.path()), recorded);
    EXPECT_EQ(QDir(dir.path()).entryList({"3.*"}, QDir::Files), QStringList{"3.incomplete.mkv"});
}

}  // namespace
