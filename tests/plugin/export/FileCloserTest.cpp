// Finishing files while the next is written: checksums made on the closer's
// thread reach the record and the checksum files, and the receiver gets
// every report in the order it was made, each file's FileClosed before what
// followed its close.
#include "plugin/export/Events.h"
#include "plugin/export/FileCloser.h"
#include "plugin/export/TemporaryFile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class Receiver : public QObject {
public:
    std::vector<std::pair<uint32_t, int64_t>> reports;  // kind, time

protected:
    void customEvent(QEvent *event) override
    {
        if (auto *report = dynamic_cast<ControllerEvent *>(event))
            reports.emplace_back(report->kind, report->time);
    }
};

// A finished file of `sizeBytes` in `dir` as a ChunkFile hands it over.
FileCloser::Closed closedFile(const QString &dir, const QString &name, int sizeBytes, ExportRecord *record,
                              int64_t lastMs, QByteArray *sha256)
{
    FileCloser::Closed closed;
    closed.file = TemporaryFile::create(dir, TemporaryFile::kChunkSuffix);
    QByteArray bytes(sizeBytes, '\0');
    for (int i = 0; i < sizeBytes; ++i)
        bytes[i] = char(i * 7 + sizeBytes);
    *sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    bool taken = false;
    EXPECT_TRUE(closed.file->write(bytes) && closed.file->publishAs(dir + "/" + name, &taken));
    closed.name = dir + "/" + name;
    closed.complete = true;
    closed.record = record;
    closed.entry.name = name;
    closed.lastMs = lastMs;
    return closed;
}

TEST(FileCloserTest, ReportsKeepTheirOrderAndFilesTheirChecksums)
{
    QTemporaryDir dir;
    Receiver receiver;
    ExportRecord record(QStringLiteral("operator"), QStringLiteral("cam"), false, 0);
    ASSERT_TRUE(record.create(dir.path(), 0, 1000, {}));
    QByteArray sums[3];
    {
        FileCloser closer(&receiver, true);
        closer.post(new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, 1));
        closer.close(closedFile(dir.path(), "a.mkv", 24 << 20, &record, 10, &sums[0]));
        closer.post(new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, 11));
        closer.post(new ControllerEvent(ControllerEvent::Progress, 0, 0.5, -1));
        closer.poll();
        // Closed at once after the first: waits for its checksum.
        closer.close(closedFile(dir.path(), "b.mkv", 3 << 20, &record, 20, &sums[1]));
        closer.post(new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, 21));
        closer.close(closedFile(dir.path(), "c.mkv", 1, &record, 30, &sums[2]));
        closer.post(new ControllerEvent(ControllerEvent::Finished, 0, -1.0, -1));
    }
    QCoreApplication::sendPostedEvents(&receiver);
    using R = std::pair<uint32_t, int64_t>;
    EXPECT_EQ(receiver.reports, (std::vector<R>{{ControllerEvent::FileStarted, 1}, {ControllerEvent::FileClosed, 10},
                                                {ControllerEvent::FileStarted, 11}, {ControllerEvent::Progress, -1},
                                                {ControllerEvent::FileClosed, 20}, {ControllerEvent::FileStarted, 21},
                                                {ControllerEvent::FileClosed, 30}, {ControllerEvent::Finished, -1}}));
    QFile json(record.path());
    ASSERT_TRUE(json.open(QIODevice::ReadOnly));
    const QJsonArray files = QJsonDocument::fromJson(json.readAll()).object().value("files").toArray();
    ASSERT_EQ(files.size(), 3);
    const char *names[] = {"a.mkv", "b.mkv", "c.mkv"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(files[i].toObject().value("name").toString(), QString::fromLatin1(names[i]));
        EXPECT_EQ(files[i].toObject().value("sha256").toString().toLatin1(), sums[i]);
        QFile sum(dir.path() + "/" + names[i] + ".sha256");
        ASSERT_TRUE(sum.open(QIODevice::ReadOnly));
        EXPECT_EQ(sum.readAll(), sums[i] + "  " + names[i] + "\n");
    }
}

}  // namespace
