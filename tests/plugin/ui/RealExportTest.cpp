// A whole export started from the dialog's OK button against a real archive
// on disk, with the client's archive components, codec informers and the
// export engine on its worker thread; the Matroska files it writes are read
// back with libavformat.
extern "C" {
#include <libavformat/avformat.h>
}

#include "client/archive/ArchiveComponents.h"
#include "client/codecs/FormatManager.h"
#include "client/media/FourCC.h"
#include "client/services/Services.h"
#include "client/runtime/Components.h"
#include "plugin/export/Events.h"
#include "plugin/host/Translation.h"
#include "tests/client/archive/ArchiveTestUtil.h"
#include "plugin/ui/ExportDialog.h"
#include "plugin/ui/StatusRoles.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

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

// A picture of noise, which JPEG cannot make much smaller than its pixels.
QByteArray noisyJpeg(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            line[x] = 0xff000000u | (seed >> 8);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 100);
    return bytes;
}

// Notes, for each file's close the dialog receives, whether the dialog
// already showed its end then.
class CloseWatch : public QObject {
public:
    explicit CloseWatch(QDialogButtonBox *box) : _box(box) {}
    std::vector<bool> endShownAtClose;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const auto *report = dynamic_cast<const ControllerEvent *>(event);
        if (report && report->kind == ControllerEvent::FileClosed)
            endShownAtClose.push_back(_box->standardButtons() == QDialogButtonBox::Close);
        return QObject::eventFilter(watched, event);
    }

private:
    QDialogButtonBox *_box;
};

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

    // Starts an export of the chosen period to `dir` (outDir when empty).
    void startExport(ExportDialog *dialog, const char *period, const QString &dir = QString())
    {
        dialog->findChild<QLineEdit *>(QStringLiteral("dirNameEdit"))->setText(dir.isEmpty() ? outDir.path() : dir);
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

    // Two fragments of JPEG pictures, a minute apart; the first takes
    // `frames`. The second shows `lastPicture` throughout when one is given.
    void record(int frames, const QByteArray &lastPicture = QByteArray())
    {
        std::vector<std::vector<archivetest::Block>> fragments(2);
        for (int f = 0; f < 2; ++f) {
            fragmentStartMs[f] = startMs + f * (frames * kFrameMs + 60000);
            for (int i = 0; i < (f == 0 ? frames : kFramesPerFragment); ++i) {
                const QByteArray picture =
                    f == 1 && !lastPicture.isEmpty() ? lastPicture : jpegFrame(f * frames + i);
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
    EXPECT_TRUE(QDir(outDir.path()).entryList({QStringLiteral("tmpchunk*")}, QDir::Files).isEmpty());
    const QStringList files = outputFiles();
    ASSERT_GE(files.size(), 1);
    AVCodecID codec = AV_CODEC_ID_NONE;
    const QList<QByteArray> packets = packetsOf(QDir(outDir.path()).filePath(files[0]), &codec);
    ASSERT_FALSE(packets.isEmpty());
    EXPECT_TRUE(packets == pictures[0].mid(0, packets.size())) << packets.size() << " packets";
}

// The end report comes before the last file is closed, and closing a large
// file (its checksum included) takes a while: Close shows only once the
// last row has its end time and the file its checksum.
TEST_F(RealExportTest, CloseShowsOnceTheLargeLastFileIsDone)
{
    const QByteArray large = noisyJpeg(1920, 1080);
    ASSERT_GT(large.size(), 1 << 20);
    record(kFramesPerFragment, large);  // a last file of some 25 pictures of that size
    auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
    dialog->show();
    auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
    CloseWatch watch(box);
    dialog->installEventFilter(&watch);
    startExport(dialog.get(), "radioButtonAll");
    QString endAtClose;
    bool checksumAtClose = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (box->standardButtons() != QDialogButtonBox::Close)
                return false;
            endAtClose = cell(dialog.get(), 1, 1);
            checksumAtClose = QDir(outDir.path()).entryList({QStringLiteral("*.sha256")}, QDir::Files).size() == 2;
            return true;
        },
        120000));
    EXPECT_EQ(endAtClose, QDateTime::fromMSecsSinceEpoch(fragmentStartMs[1] + (kFramesPerFragment - 1) * kFrameMs)
                              .toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")));
    EXPECT_EQ(cell(dialog.get(), 1, 2), zkTranslation("MSGI_COMPLETE"));
    EXPECT_TRUE(checksumAtClose);
    // Both files' closes came while the export was still shown as running.
    EXPECT_EQ(watch.endShownAtClose, (std::vector<bool>{false, false}));
    dialog.reset();
    ASSERT_EQ(outputFiles().size(), 2);
    EXPECT_GT(QFileInfo(QDir(outDir.path()).filePath(outputFiles()[1])).size(), 20 << 20);
}

// An export that cannot write ends where the operator sees it: the error on
// its row, Close alone, and no closing by itself, although asked to.
TEST_F(RealExportTest, AnExportThatCannotWriteShowsItsErrorAndStaysOpen)
{
    record(kLongFragmentFrames);
    const struct {
        const char *name;
        bool fullDisk;  // else the file cannot be created
    } cases[] = {{"the file cannot be created", false}, {"the disk fills while the file is written", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir out;
        ASSERT_TRUE(out.isValid());
        // A folder that does not exist: no file can be created there, even by root.
        const QString target = c.fullDisk ? out.path() : out.filePath(QStringLiteral("missing"));
        auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
        dialog->show();
        auto *closeAfterFinish = dialog->findChild<QCheckBox *>(QStringLiteral("closeAfterFinish"));
        closeAfterFinish->setChecked(true);
        auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));

        // A full disk: files of this process may not grow beyond 200 KB.
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        if (c.fullDisk) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit small = saved;
            small.rlim_cur = 200 * 1024;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        startExport(dialog.get(), "radioButtonAll", target);
        const bool ended =
            QTest::qWaitFor([&] { return box->standardButtons() == QDialogButtonBox::Close; }, 60000);
        // The failed file is closed (and named) after the error.
        const bool closed = !c.fullDisk || QTest::qWaitFor([&] { return !cell(dialog.get(), 0, 1).isEmpty(); }, 60000);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
        ASSERT_TRUE(ended);
        ASSERT_TRUE(closed);

        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex(), 1);
        EXPECT_FALSE(closeAfterFinish->isEnabled());
        QAbstractItemModel *model = dialog->findChild<QTreeView *>(QStringLiteral("statusView"))->model();
        ASSERT_EQ(model->rowCount(), 1);
        EXPECT_EQ(cell(dialog.get(), 0, 2), zkTranslation("MSGE_KALMIX_1000002"));
        EXPECT_EQ(cell(dialog.get(), 0, 0).isEmpty(), !c.fullDisk);
        // Nothing ends it a second time.
        QTest::qWait(100);
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(cell(dialog.get(), 0, 2), zkTranslation("MSGE_KALMIX_1000002"));
        box->button(QDialogButtonBox::Close)->click();
        EXPECT_FALSE(dialog->isVisible());
        dialog.reset();

        const QStringList files = QDir(out.path()).entryList({QStringLiteral("*.mkv")}, QDir::Files);
        EXPECT_EQ(files.size(), c.fullDisk ? 1 : 0);
        // A file that could not be finished gets no checksum.
        EXPECT_TRUE(QDir(out.path()).entryList({QStringLiteral("*.sha256")}, QDir::Files).isEmpty());
    }
}

// A period whose start is its end: the picture at that instant, or no data.
TEST_F(RealExportTest, AZeroLengthPeriodEndsLikeAnyOther)
{
    record(kFramesPerFragment);
    const struct {
        const char *name;
        int64_t atMs;
        int fragment;  // whose first picture the file holds; -1 = no data
    } cases[] = {
        {"at the archive's first picture", fragmentStartMs[0], 0},
        {"at the second recording's first picture", fragmentStartMs[1], 1},
        {"in the gap between the recordings", fragmentStartMs[0] + 30000, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir out;
        ASSERT_TRUE(out.isValid());
        auto dialog = std::make_unique<ExportDialog>(&manager, source, 0, nullptr);
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(c.atMs);
        dialog->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeFrom"))->setDateTime(at);
        dialog->findChild<QDateTimeEdit *>(QStringLiteral("dateTimeTo"))->setDateTime(at);
        // Every progress the list is given, as the fraction its rows hold.
        QAbstractItemModel *model = dialog->findChild<QTreeView *>(QStringLiteral("statusView"))->model();
        std::vector<double> progress;
        QObject::connect(model, &QAbstractItemModel::dataChanged, [&](const QModelIndex &first) {
            if (model->data(first, statusrole::State).toInt() == statusrole::Writing)
                progress.push_back(model->data(first, statusrole::Progress).toDouble());
        });
        startExport(dialog.get(), "radioButtonRange", out.path());
        auto *box = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return box->standardButtons() == QDialogButtonBox::Close; }, 60000));
        for (double p : progress)
            EXPECT_TRUE(p >= 0.0 && p <= 1.0) << p;
        if (c.fragment >= 0) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back(), 1.0);
        }
        if (c.fragment < 0) {
            EXPECT_EQ(cell(dialog.get(), 0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
            dialog.reset();
            EXPECT_TRUE(QDir(out.path()).entryList({QStringLiteral("*.mkv")}, QDir::Files).isEmpty());
            continue;
        }
        EXPECT_EQ(cell(dialog.get(), 0, 2), zkTranslation("MSGI_COMPLETE"));
        dialog.reset();
        const QStringList files = QDir(out.path()).entryList({QStringLiteral("*.mkv")}, QDir::Files);
        ASSERT_EQ(files.size(), 1);
        const QString stamp = at.toString(QStringLiteral("yyyy.MM.dd.hh.mm.ss"));
        EXPECT_EQ(files[0], stamp + QLatin1Char('-') + stamp + QStringLiteral(".mkv"));
        AVCodecID codec = AV_CODEC_ID_NONE;
        EXPECT_TRUE(packetsOf(QDir(out.path()).filePath(files[0]), &codec) == pictures[c.fragment].mid(0, 1));
    }
}

}  // namespace
