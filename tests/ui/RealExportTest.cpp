// A whole export started from the dialog's OK button against a real archive
// on disk, with the client's archive components, codec informers and the
// export engine on its worker thread; the Matroska files it writes are read
// back with libavformat.
extern "C" {
#include <libavformat/avformat.h>
}

#include "client/archive/Archive.h"
#include "client/codecs/FormatManager.h"
#include "client/media/FourCC.h"
#include "client/ui/Services.h"
#include "client/velt/Components.h"
#include "host/Translation.h"
#include "tests/client/archive/ArchiveTestUtil.h"
#include "ui/ExportDialog.h"

#include <QBuffer>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

constexpr int kFramesPerFragment = 25;
constexpr int kLongFragmentFrames = 3000;  // two minutes of pictures
constexpr int64_t kFrameMs = 40;

// A small JPEG picture that differs from frame to frame.
QByteArray jpegFrame(int n)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((n * 13) % 360, 200, 200));
    QPainter(&image).fillRect(n % 56, 8, 8, 8, Qt::white);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 80);
    return bytes;
}

// The packets of the single video stream of a Matroska file; empty on failure.
QList<QByteArray> packetsOf(const QString &path, AVCodecID *codec)
{
    QList<QByteArray> packets;
    AVFormatContext *context = nullptr;
    if (avformat_open_input(&context, path.toLocal8Bit().constData(), nullptr, nullptr) < 0)
        return packets;
    if (avformat_find_stream_info(context, nullptr) >= 0 && context->nb_streams == 1) {
        *codec = context->streams[0]->codecpar->codec_id;
        AVPacket *packet = av_packet_alloc();
        while (av_read_frame(context, packet) >= 0) {
            packets.append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&context);
    return packets;
}

class RealExportTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(archiveDir.isValid() && outDir.isValid());
        velt::registerTranslator();
        archive::registerComponents();
        services.publish(&manager);
        codecs::publish(manager);
    }
    void TearDown() override
    {
        source.reset();
        manager.clear();
    }

    // Starts an export of the chosen period to outDir.
    void startExport(ExportDialog *dialog, const char *period)
    {
        dialog->findChild<QLineEdit *>(QStringLiteral("dirNameEdit"))->setText(outDir.path());
        dialog->findChild<QRadioButton *>(QString::fromLatin1(period))->click();
        auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        ASSERT_TRUE(box->button(QDialogButtonBox::Ok)->isEnabled());
        box->button(QDialogButtonBox::Ok)->click();
    }
    // ... and waits until the engine reports the end.
    void runExport(ExportDialog *dialog, const char *period)
    {
        startExport(dialog, period);
        auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return box->standardButtons() == QDialogButtonBox::Close; }, 60000));
    }
    static QString cell(ExportDialog *dialog, int row, int column)
    {
        QAbstractItemModel *model = dialog->findChild<QTreeView *>(QStringLiteral("statusView"))->model();
        return model->data(model->index(row, column)).toString();
    }
    QStringList outputFiles() const
    {
        return QDir(outDir.path()).entryList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Name);
    }

    // Two fragments of JPEG pictures, a minute apart; the first takes `frames`.
    void record(int frames)
    {
        std::vector<std::vector<archivetest::Block>> fragments(2);
        for (int f = 0; f < 2; ++f) {
            fragmentStartMs[f] = startMs + f * (frames * kFrameMs + 60000);
            for (int i = 0; i < (f == 0 ? frames : kFramesPerFragment); ++i) {
                const QByteArray picture = jpegFrame(f * frames + i);
                pictures[f].append(picture);
                fragments[f].push_back(archivetest::Block{archive::kVideoStream, fragmentStartMs[f] + i * kFrameMs, true,
                                                          fourcc::bytes(fourcc::kMjpeg) + picture});
            }
        }
        ASSERT_NO_FATAL_FAILURE(archivetest::record(archiveDir.path(), fragments));
        QString error;
        source = archive::openSource(archiveDir.path(), &error);
        ASSERT_TRUE(source) << error.toStdString();
    }

    QTemporaryDir archiveDir;
    QTemporaryDir outDir;
    velt::ComponentManager manager;
    clientui::Services services;
    ComponentRef<IArchiveVideoSource> source;
    const int64_t startMs = QDateTime(QDate(2023, 6, 1), QTime(10, 0, 0)).toMSecsSinceEpoch();
    int64_t fragmentStartMs[2] = {};
    QList<QByteArray> pictures[2];
};

TEST_F(RealExportTest, WholeArchiveGivesOneFilePerFragment)
{
    record(kFramesPerFragment);
    auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
    runExport(dialog.get(), "radioButtonAll");
    EXPECT_EQ(services.archivePanel->exportsStarted(), 1);
    // The last file is closed after the end was reported.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !cell(dialog.get(), 1, 1).isEmpty(); }, 60000));

    // One completed row per fragment, from its first to its last picture.
    const QString format = QStringLiteral("dd.MM.yyyy hh:mm:ss");
    ASSERT_EQ(dialog->findChild<QTreeView *>(QStringLiteral("statusView"))->model()->rowCount(), 2);
    for (int f = 0; f < 2; ++f) {
        EXPECT_EQ(cell(dialog.get(), f, 0), QDateTime::fromMSecsSinceEpoch(fragmentStartMs[f]).toString(format));
        const int64_t lastMs = fragmentStartMs[f] + (kFramesPerFragment - 1) * kFrameMs;
        EXPECT_EQ(cell(dialog.get(), f, 1), QDateTime::fromMSecsSinceEpoch(lastMs).toString(format));
        EXPECT_EQ(cell(dialog.get(), f, 2), zkTranslation("MSGI_COMPLETE"));
    }
    dialog.reset();

    // The files hold the recorded pictures unchanged.
    const QStringList files = outputFiles();
    ASSERT_EQ(files.size(), 2) << files.join(QLatin1Char(' ')).toStdString();
    for (int f = 0; f < 2; ++f) {
        EXPECT_TRUE(files[f].startsWith(QDateTime::fromMSecsSinceEpoch(fragmentStartMs[f])
                                            .toString(QStringLiteral("yyyy.MM.dd.hh.mm.ss-"))))
            << files[f].toStdString();
        AVCodecID codec = AV_CODEC_ID_NONE;
        const QList<QByteArray> packets = packetsOf(QDir(outDir.path()).filePath(files[f]), &codec);
        EXPECT_EQ(codec, AV_CODEC_ID_MJPEG);
        EXPECT_TRUE(packets == pictures[f]) << "file " << f << ": " << packets.size() << " packets";
    }
}

TEST_F(RealExportTest, RangeEndingBeforeItStartsFindsNoData)
{
    record(kFramesPerFragment);
    auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
    // Both inside the archive, but the end before the start: posted as they are.
    dialog->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeFrom"))
        ->setDateTime(QDateTime::fromMSecsSinceEpoch(fragmentStartMs[1]));
    dialog->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeTo"))
        ->setDateTime(QDateTime::fromMSecsSinceEpoch(fragmentStartMs[0]));
    runExport(dialog.get(), "radioButtonRange");
    EXPECT_EQ(cell(dialog.get(), 0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
    dialog.reset();
    EXPECT_TRUE(outputFiles().isEmpty());
}

TEST_F(RealExportTest, RangeCoversTheSecondFragmentOnly)
{
    record(kFramesPerFragment);
    auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
    dialog->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeFrom"))
        ->setDateTime(QDateTime::fromMSecsSinceEpoch(fragmentStartMs[0] + 30000));
    dialog->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeTo"))
        ->setDateTime(QDateTime::fromMSecsSinceEpoch(fragmentStartMs[1] + 3600000));
    runExport(dialog.get(), "radioButtonRange");
    dialog.reset();
    const QStringList files = outputFiles();
    ASSERT_EQ(files.size(), 1);
    AVCodecID codec = AV_CODEC_ID_NONE;
    EXPECT_TRUE(packetsOf(QDir(outDir.path()).filePath(files[0]), &codec) == pictures[1]);
}

// Closing may come before or after the engine's end (stopping itself is
// tested in the controller's tests); either way no half-made file is left.
TEST_F(RealExportTest, ClosingTheDialogDuringAnExportLeavesCompleteNamedFiles)
{
    record(kLongFragmentFrames);
    auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
    startExport(dialog.get(), "radioButtonAll");
    QAbstractItemModel *model = dialog->findChild<QTreeView *>(QStringLiteral("statusView"))->model();
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->rowCount() > 0; }, 60000));
    dialog.reset();  // stops the engine and waits for its thread

    // What was written is complete and named: the pictures from the start on, and no temporary file.
    EXPECT_FALSE(QFileInfo::exists(QDir(outDir.path()).filePath(QStringLiteral("tmpchunk.mkv"))));
    const QStringList files = outputFiles();
    ASSERT_GE(files.size(), 1);
    AVCodecID codec = AV_CODEC_ID_NONE;
    const QList<QByteArray> packets = packetsOf(QDir(outDir.path()).filePath(files[0]), &codec);
    ASSERT_FALSE(packets.isEmpty());
    EXPECT_TRUE(packets == pictures[0].mid(0, packets.size())) << packets.size() << " packets";
}

}  // namespace
