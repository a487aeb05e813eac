// The export dialog as the operator uses it: texts and limits, when OK may be
// pressed, the periods, the status list the engine's reports make, how an
// export ends, and whole exports of the fake archive through the real engine.
#include "client/services/Services.h"
#include "plugin/host/Guids.h"
#include "plugin/ui/ExportDialog.h"
#include "plugin/ui/StatusRoles.h"
#include "tests/plugin/export/Harness.h"
#include "tests/support/LocalZone.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDateTimeEdit>
#include <QDesktopServices>
#include <QFileDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSemaphore>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <atomic>

namespace {

// Rows and names show local times; yesterday spans a daylight-saving change
// only in a zone that has them.
const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");

// The reports' kinds as numbers: every receiver of the engine's reports
// relies on them, not only this dialog.
enum Kind : uint32_t { Started = 0, Closed = 1, Finished = 2, Error = 3, Progress = 4 };

const int64_t t0 = QDateTime(QDate(2023, 6, 1), QTime(10, 0, 0)).toMSecsSinceEpoch();
const QString kNoData = QStringLiteral("No recorded data in the chosen period");
const QString kFailed = QStringLiteral("Error: the file cannot be created or written");
const QString kFinished = QStringLiteral("The export has finished.");
const QString kStopped = QStringLiteral("The export was stopped by the operator.");
const QString kEndedInError = QStringLiteral("The export ended with an error:");

// Receives the URLs the dialog asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

class ExportDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        velt::registerTranslator();
        fakes::registerQueue();
        services.publish(&manager);
        manager.setComponent(guids::kAVFormatManager, fakes::formatManager());
        // Two recordings of a second, a minute apart, and a block long after.
        archive->setFragments({{t0, t0 + 1000}, {t0 + 60000, t0 + 61000}});
        for (int64_t t = t0; t < t0 + 61000; t += t == t0 + 960 ? 59040 : 40) {
            archive->script.push_back(fakes::video(t));
            archive->script.push_back(fakes::audio(t + 1));
        }
        archive->script.push_back(fakes::video(t0 + 7200000));
        remake();
    }
    void TearDown() override
    {
        dialog.reset();
        manager.clear();
        velt::unregisterFactory(guids::kEncodedDataQueue);
    }

    void remake()
    {
        dialog = std::make_unique<ExportDialog>(&manager, fakes::archiveSource(archive), 0, nullptr);
        dialog->show();
    }
    template <class W = QWidget>
    W *widget(const char *name) const
    {
        W *w = dialog->findChild<W *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QDialogButtonBox *buttons() const { return widget<QDialogButtonBox>("buttonBox"); }
    QPushButton *ok() const { return buttons()->button(QDialogButtonBox::Ok); }
    QDateTimeEdit *from() const { return widget<QDateTimeEdit>("dateTimeFrom"); }
    QDateTimeEdit *to() const { return widget<QDateTimeEdit>("dateTimeTo"); }
    QAbstractItemModel *model() const { return widget<QTreeView>("statusView")->model(); }
    // Each row of the status list as "from - to: state", or its one cell.
    QStringList rows() const
    {
        QStringList rows;
        for (int row = 0; row < model()->rowCount(); ++row) {
            const auto cell = [&](int column) { return model()->index(row, column).data().toString(); };
            rows << (model()->columnCount() == 1 ? cell(0) : cell(0) + " - " + cell(1) + ": " + cell(2));
        }
        return rows;
    }
    QTreeView *view() const { return widget<QTreeView>("statusView"); }
    QString summary() const
    {
        auto *label = widget<QLabel>("summaryLabel");
        return label->isHidden() ? QString() : label->text();
    }
    QString tip(int row, int column = 0) const { return model()->index(row, column).data(Qt::ToolTipRole).toString(); }
    // Whether row `row` of the list is in sight.
    bool inSight(int row) const
    {
        return view()->viewport()->rect().intersects(view()->visualRect(model()->index(row, 0)));
    }
    void post(uint32_t kind, int64_t time = -1, double progress = -1.0, const ReportDetails &details = {})
    {
        const uint32_t code = kind == Error ? kWriteErrorCode : 0;
        auto *event = new ControllerEvent(kind, code, progress, time);
        event->details = details;
        QCoreApplication::postEvent(dialog.get(), event);
        QCoreApplication::sendPostedEvents(dialog.get());
    }
    // Chooses the folder and `period`, and presses OK.
    void start(const char *period, const QString &folder)
    {
        widget<QLineEdit>("dirNameEdit")->setText(folder);
        widget<QRadioButton>(period)->click();
        ASSERT_TRUE(ok()->isEnabled());
        ok()->click();
        // The settings give way to the list, and OK cannot start another.
        EXPECT_EQ(widget<QStackedWidget>("stackedWidget")->currentIndex(), 1);
        EXPECT_TRUE(!ok() || !ok()->isEnabled());
    }

    velt::ComponentManager manager;
    clientui::Services services;
    std::shared_ptr<fakes::Archive> archive = std::make_shared<fakes::Archive>();
    std::unique_ptr<ExportDialog> dialog;
    QTemporaryDir out;
};

TEST_F(ExportDialogTest, TextsArchiveBoundsAndSizeLimit)
{
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Export archive"));
    const std::pair<const char *, const char *> texts[] = {
        {"label", "Target folder:"}, {"label_2", "From"}, {"label_3", "To"}, {"radioButtonAll", "Whole archive"},
        {"radioButtonYesterday", "Yesterday"}, {"radioButtonRange", "Period"},
        {"closeAfterFinish", "Close when the export has finished"}, {"checkBoxLimitation", "Limit file size"}};
    for (const auto &[name, text] : texts)
        EXPECT_EQ(widget(name)->property("text").toString(), QLatin1String(text)) << name;
    EXPECT_EQ(widget("checkBoxLimitation")->toolTip(), "Start a new file when this size is reached (0 means no limit)");
    EXPECT_EQ(widget<QStackedWidget>("stackedWidget")->currentIndex(), 0);
    EXPECT_EQ(from()->dateTime().toMSecsSinceEpoch(), t0);
    EXPECT_EQ(to()->dateTime().toMSecsSinceEpoch(), t0 + 61000);

    // The limit is switched on apart from its value, from 0 to 1024 MB.
    auto *limit = widget<QSpinBox>("spinBoxLimitation");
    EXPECT_FALSE(limit->isEnabled());
    widget<QCheckBox>("checkBoxLimitation")->click();
    EXPECT_TRUE(limit->isEnabled());
    for (const auto &[typed, kept] : {std::pair{1024, 1024}, {1025, 1024}, {0, 0}, {-1, 0}}) {
        limit->setValue(typed);
        EXPECT_EQ(limit->value(), kept) << typed;
    }
    widget<QCheckBox>("checkBoxLimitation")->click();
    EXPECT_FALSE(limit->isEnabled());
}

TEST_F(ExportDialogTest, OkNeedsAFolderAndAPeriod)
{
    const QString reversed = QStringLiteral("The period ends before it starts");
    const struct {
        const char *period;  // clicked; null: none yet
        const char *folder;
        int64_t toMs;        // written into the editors' end after the click; -1: as it is
        bool ok, editors;
        QString reason;      // beside the period
    } steps[] = {{nullptr, "/tmp", -1, false, false, {}},
                 {"radioButtonAll", "", -1, false, false, {}},
                 {"radioButtonYesterday", "/tmp", -1, true, false, {}},
                 {"radioButtonRange", "/tmp", -1, true, true, {}},
                 // To before From: OK waits for a period that can be exported.
                 {"radioButtonRange", "/tmp", t0 - 1, false, true, reversed},
                 {"radioButtonRange", "/tmp", t0, true, true, {}},
                 {"radioButtonAll", "/tmp", -1, true, false, {}},
                 {"radioButtonRange", "", -1, false, true, {}}};
    for (const auto &step : steps) {
        SCOPED_TRACE(std::string(step.period ? step.period : "-") + " '" + step.folder + "' " + std::to_string(step.toMs));
        widget<QLineEdit>("dirNameEdit")->setText(QLatin1String(step.folder));
        if (step.period)
            widget<QRadioButton>(step.period)->click();
        if (step.toMs != -1) {
            from()->setDateTime(QDateTime::fromMSecsSinceEpoch(t0));
            to()->setDateTime(QDateTime::fromMSecsSinceEpoch(step.toMs));
        }
        EXPECT_EQ(ok()->isEnabled(), step.ok);
        EXPECT_EQ(widget("dateTime")->isEnabled(), step.editors);
        auto *reason = widget<QLabel>("periodReason");
        EXPECT_EQ(reason->isHidden() ? QString() : reason->text(), step.reason);
    }
}

// The folder is typed (or pasted) and checked when OK is pressed: a missing
// one is made after asking, one that cannot be written is refused with the
// system's reason, and the settings stay for another try.
TEST_F(ExportDialogTest, TheFolderIsCheckedAtOk)
{
    QFile plain(out.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    const QString made = out.filePath(QStringLiteral("new/sub"));
    const struct {
        QString folder;
        const char *answer;  // to the question whether to make it; null: none asked
        QString reason;      // beside the folder; empty: the export starts
    } cases[] = {
        {out.filePath(QStringLiteral("plain/sub")), "No", QStringLiteral("The folder does not exist")},
        // Root writes into any folder whatever its permissions: a path under
        // a file and /proc are folders that cannot be written.
        {out.filePath(QStringLiteral("plain/sub")), "Yes",
         "Nothing can be written into this folder: Not a directory (" + out.filePath(QStringLiteral("plain/sub")) + ")"},
        {plain.fileName(), nullptr,
         "Nothing can be written into this folder: Not a directory (" + plain.fileName() + ")"},
        {QStringLiteral("/proc"), nullptr, QStringLiteral("Nothing can be written into this folder: %1 (/proc)")},
        {made, "Yes", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.folder.toStdString());
        remake();
        widget<QRadioButton>("radioButtonAll")->click();
        // Typed as an operator types, character by character.
        widget<QLineEdit>("dirNameEdit")->setFocus();
        QTest::keyClicks(widget<QLineEdit>("dirNameEdit"), c.folder);
        ASSERT_EQ(widget<QLineEdit>("dirNameEdit")->text(), c.folder);
        QString asked;
        QTimer answer;  // ends with this case
        answer.setSingleShot(true);
        answer.callOnTimeout([&] {
            auto *question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!question)
                return;
            asked = question->text();
            for (QAbstractButton *button : question->buttons())
                if (button->text().remove(QLatin1Char('&')) == QLatin1String(c.answer))
                    button->click();
        });
        answer.start(0);
        ok()->click();
        EXPECT_EQ(asked.isEmpty(), c.answer == nullptr) << asked.toStdString();
        auto *reason = widget<QLabel>("folderReason");
        const QString shown = reason->isHidden() ? QString() : reason->text();
        if (c.reason.contains(QLatin1String("%1")))  // the system's words for /proc vary with the kernel
            EXPECT_TRUE(shown.startsWith(c.reason.section(QLatin1Char('%'), 0, 0)) && shown.endsWith("(/proc)")) << shown.toStdString();
        else
            EXPECT_EQ(shown, c.reason);
        EXPECT_EQ(widget<QStackedWidget>("stackedWidget")->currentIndex(), c.reason.isEmpty() ? 1 : 0);
        EXPECT_EQ(ok()->isEnabled(), !c.reason.isEmpty());
    }
    EXPECT_TRUE(QFileInfo(made).isDir());
    ASSERT_TRUE(QTest::qWaitFor([&] { return buttons()->standardButtons() == QDialogButtonBox::Close; }, 30000));
    EXPECT_EQ(harness::mkvFiles(made).size(), 2);

    // The chooser opens at the folder typed, at what exists of it, or at the
    // folder of the last export.
    for (const QString &typed : {out.path(), out.filePath(QStringLiteral("not/yet")), QString()}) {
        remake();
        widget<QLineEdit>("dirNameEdit")->setText(typed);
        QString openedAt;
        QTimer look;
        look.setSingleShot(true);
        look.callOnTimeout([&] {
            if (auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
                openedAt = chooser->directory().absolutePath();
                chooser->reject();
            }
        });
        look.start(0);
        widget<QToolButton>("toolButton")->click();
        EXPECT_EQ(openedAt, typed.isEmpty() ? made : out.path()) << typed.toStdString();
    }
}

TEST_F(ExportDialogTest, PeriodsYesterdayAndAll)
{
    // Local midnight to local midnight, also over daylight-saving changes and
    // the end of February.
    for (const QDate &today : {QDate(2024, 3, 1), QDate(2024, 1, 1), QDate(2023, 3, 27), QDate(2023, 10, 30)}) {
        EXPECT_EQ(yesterdayOf(today).from, QDateTime(today.addDays(-1), QTime(0, 0))) << today.toString().toStdString();
        EXPECT_EQ(yesterdayOf(today).to, QDateTime(today, QTime(0, 0))) << today.toString().toStdString();
    }
    EXPECT_EQ(yesterdayOf(QDate(2024, 3, 1)).from.date(), QDate(2024, 2, 29));
    const DayPeriod yesterday = yesterdayOf(QDate::currentDate());
    widget<QRadioButton>("radioButtonYesterday")->click();
    EXPECT_EQ(std::make_pair(from()->dateTime(), to()->dateTime()), std::make_pair(yesterday.from, yesterday.to));
    // The whole archive asks for its bounds again; without any (no reader, no
    // index, no recording) the editors stay as they are.
    archive->lastMs += 3600 * 1000;
    widget<QRadioButton>("radioButtonAll")->click();
    EXPECT_EQ(to()->dateTime().toMSecsSinceEpoch(), archive->lastMs);
    for (int broken = 0; broken < 3; ++broken) {
        *archive = fakes::Archive();
        archive->hasReader = broken != 0;
        archive->hasIndex = broken != 1;
        remake();
        EXPECT_EQ(from()->dateTime(), QDateTimeEdit().dateTime());
        widget<QRadioButton>("radioButtonYesterday")->click();
        widget<QRadioButton>("radioButtonAll")->click();
        EXPECT_EQ(std::make_pair(from()->dateTime(), to()->dateTime()), std::make_pair(yesterday.from, yesterday.to));
    }
}

TEST_F(ExportDialogTest, ReportsBecomeRows)
{
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = t1 + 1800 * 1000 + 999;
    post(Started, t1);
    const std::pair<double, const char *> progress[] = {
        {0.0004, "0.0 %"}, {0.05, "5.0 %"}, {0.4252, "42.5 %"}, {0.99999, "100.0 %"}, {1.0, "100.0 %"}};
    for (const auto &[fraction, text] : progress) {
        post(Progress, -1, fraction);
        EXPECT_EQ(rows(), QStringList{QStringLiteral("01.06.2023 09:00:00 - : ") + text});
    }
    ReportDetails closed;
    closed.fileName = QStringLiteral("2023.06.01.09.00.00-2023.06.01.09.30.00.mkv");
    closed.sizeBytes = 3 * 1048576 + 5;
    closed.sha256 = QByteArray(64, 'e');
    closed.firstMs = t1;
    post(Closed, t2, -1.0, closed);
    post(Started, t2);
    // Other kinds and other events of the same type change nothing.
    post(5, t1, 0.5);
    post(99, t1, 0.5);
    QCoreApplication::postEvent(dialog.get(), new ExportEvent(0, t1, t2));
    QCoreApplication::postEvent(dialog.get(), new QEvent(kExportEventType));
    QCoreApplication::sendPostedEvents(dialog.get());
    EXPECT_EQ(rows(), (QStringList{"01.06.2023 09:00:00 - 01.06.2023 09:30:00: Complete", "01.06.2023 09:30:00 - : 0.0 %"}));
    for (const auto &[section, header] : {std::pair{0, "From"}, {1, "To"}, {2, "Status"}})
        EXPECT_EQ(model()->headerData(section, Qt::Horizontal).toString(), QLatin1String(header));
    EXPECT_EQ(buttons()->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    // A finished row tells its file, to the millisecond (two files of one
    // second differ there); a row being written tells nothing yet.
    const QString fileTip = "File: 2023.06.01.09.00.00-2023.06.01.09.30.00.mkv\nSize: 3.0 MB (3145733 bytes)\nSHA-256: " +
                            QString(64, QLatin1Char('e')) + "\nFirst block: 01.06.2023 09:00:00.000\nLast block: 01.06.2023 09:30:00.999";
    for (int column = 0; column < 3; ++column)
        EXPECT_EQ(tip(0, column), fileTip) << column;
    EXPECT_EQ(model()->index(0, 0).data(statusrole::Sha256).toString(), QString(64, QLatin1Char('e')));
    EXPECT_EQ(tip(1), QString());
    // A file that could not be finished says so, in the row and its tip.
    closed.complete = false;
    closed.sha256.clear();
    post(Closed, t2 + 40, -1.0, closed);
    EXPECT_EQ(rows().last(), "01.06.2023 09:30:00 - 01.06.2023 09:30:01: Incomplete: the file could not be finished");
    EXPECT_TRUE(tip(1).startsWith("Incomplete: the file could not be finished\nFile: 2023")) << tip(1).toStdString();
    EXPECT_EQ(model()->index(1, 0).data(statusrole::State).toInt(), int(statusrole::Failed));

    // The list follows the row in progress, until the operator scrolls away
    // and again once back at the end; the end shows the last row.
    widget<QStackedWidget>("stackedWidget")->setCurrentIndex(1);
    QCoreApplication::processEvents();
    const auto addFiles = [&](int count) {
        for (int i = 0; i < count; ++i) {
            post(Closed, t2);
            post(Started, t2);
            post(Progress, -1, 0.5);
        }
        return model()->rowCount() - 1;
    };
    int last = addFiles(30);
    EXPECT_TRUE(inSight(last));
    EXPECT_FALSE(inSight(0));
    view()->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    last = addFiles(3);
    EXPECT_TRUE(inSight(0));
    EXPECT_FALSE(inSight(last));
    view()->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    last = addFiles(3);
    EXPECT_TRUE(inSight(last));
    view()->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    post(Finished);
    post(Closed, t2);
    EXPECT_TRUE(inSight(last));
}

// How the end of an export reaches the operator, report by report: the
// dialog shows its end (the summary and Close alone, or closes when asked
// to) once the engine has ended, or an error was reported, and no file is
// still being closed; it never closes away an error.
TEST_F(ExportDialogTest, HowAnExportEnds)
{
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = t1 + 40000;
    const QString file = QStringLiteral("01.06.2023 09:00:00 - 01.06.2023 09:00:40: ");
    ReportDetails written;
    written.fileName = QStringLiteral("2023.06.01.09.00.00-2023.06.01.09.00.40.mkv");
    written.sizeBytes = 3 * 1048576 + 5;
    ReportDetails ending;
    ending.recordPath = QStringLiteral("/media/evidence/export-2023.06.01.10.00.00.json");
    ending.unreadMs = 64001;
    ending.signedBy = QStringLiteral("CN=site");
    ReportDetails diskFull;
    diskFull.reason = QStringLiteral("No space left on device (/media/evidence)");
    diskFull.unsignedWhy = QStringLiteral("no signing identity");
    ReportDetails unfinished = written;
    unfinished.complete = false;
    const QString fullDisk = kFailed + ": No space left on device (/media/evidence)";
    struct Report {
        uint32_t kind;
        int64_t time = -1;
        ReportDetails details = {};
    };
    const struct {
        const char *name;
        bool closeAfterFinish;
        std::vector<Report> reports;
        size_t endsAt;  // the report after which the end shows
        bool closes;
        QString row, summary;
    } cases[] = {
        {"nothing in the period", false, {{Finished}}, 0, false, kNoData, kFinished + "\nFiles: 0"},
        {"nothing in the period, close asked", true, {{Finished}}, 0, true, kNoData, {}},
        {"the last file closes after the end", false, {{Started, t1}, {Progress}, {Finished, -1, ending}, {Closed, t2, written}},
         3, false, file + "Complete",
         kFinished + "\nFiles: 1, 3.0 MB (3145733 bytes)\nExport record: export-2023.06.01.10.00.00.json\n"
                     "Signed by: CN=site\nRecorded time that could not be read: 0:01:05"},
        {"the last file closes after the end, close asked", true, {{Started, t1}, {Finished}, {Closed, t2}}, 2,
         true, file + "Complete", {}},
        {"an error before any file, then the end", true, {{Error}, {Finished}}, 0, false, " - : " + kFailed,
         kEndedInError + "\n" + kFailed + "\nFiles: 0"},
        // Close waits for the file the error stopped, and the full disk is
        // named in the row and the summary.
        {"an error while writing; the failed file closes after it", true,
         {{Started, t1}, {Error, -1, diskFull}, {Closed, t2, unfinished}, {Finished}}, 2, false, file + fullDisk,
         kEndedInError + "\n" + fullDisk + "\nFiles: 0\nNot signed: no signing identity"},
        {"a file that cannot be opened after a finished one", true, {{Started, t1}, {Closed, t2}, {Error}}, 2,
         false, file + kFailed, kEndedInError + "\n" + kFailed + "\nFiles: 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remake();
        auto *closeAfterFinish = widget<QCheckBox>("closeAfterFinish");
        closeAfterFinish->setChecked(c.closeAfterFinish);
        for (size_t i = 0; i < c.reports.size(); ++i) {
            post(c.reports[i].kind, c.reports[i].time, 0.5, c.reports[i].details);
            const bool ended = i >= c.endsAt;
            EXPECT_EQ(dialog->isVisible(), !(ended && c.closes)) << i;
            if (!ended || !c.closes) {
                EXPECT_EQ(closeAfterFinish->isEnabled(), !ended) << i;
                const auto expected = ended ? QDialogButtonBox::Close : QDialogButtonBox::Ok | QDialogButtonBox::Cancel;
                EXPECT_EQ(buttons()->standardButtons(), expected) << i;
                EXPECT_EQ(summary(), ended ? c.summary : QString()) << i;
            }
        }
        EXPECT_EQ(rows(), QStringList{c.row});
        if (QPushButton *close = c.closes ? nullptr : buttons()->button(QDialogButtonBox::Close)) {
            // Enter closes: Close has the focus.
            EXPECT_EQ(dialog->focusWidget(), close);
            QTest::keyClick(dialog.get(), Qt::Key_Return);
            EXPECT_FALSE(dialog->isVisible());
        }
    }
}

// Whole exports through the engine: the rows and the summary they end with,
// and the files.
TEST_F(ExportDialogTest, ExportsWithTheEngine)
{
    const QString first = QStringLiteral("01.06.2023 10:00:00 - 01.06.2023 10:00:00: Complete");
    const QString second = QStringLiteral("01.06.2023 10:01:00 - 01.06.2023 10:01:00: Complete");
    const QString firstFile = QStringLiteral("2023.06.01.10.00.00-2023.06.01.10.00.00.mkv");
    const QString secondFile = QStringLiteral("2023.06.01.10.01.00-2023.06.01.10.01.00.mkv");
    const auto folderOf = [&](int i) { return out.filePath(QString::number(i)); };
    // The folder is taken away once the export has begun: the error row
    // says what became of it.
    const auto damageFolder = [&](int i, bool toFile) {
        return [this, folder = folderOf(i), toFile] {
            archive->feed = [folder, toFile, endless = fakes::endlessFeed()](int64_t fromMs) {
                QDir(folder).removeRecursively();
                QFile file(folder);
                if (toFile && !file.exists() && file.open(QIODevice::WriteOnly))
                    file.close();
                return endless(fromMs);
            };
        };
    };
    const auto failedFolder = [&](int i, const char *reason) {
        return QStringList{" - : " + kFailed + ": " + reason + " (" + folderOf(i) + ")"};
    };
    const struct {
        const char *name;
        const char *period;
        int64_t fromMs, toMs;  // of a range
        QStringList rows, files;
        std::function<void()> before;
    } cases[] = {
        {"whole archive", "radioButtonAll", t0, t0 + 61000, {first, second}, {firstFile, secondFile}, [] {}},
        {"from the gap on", "radioButtonRange", t0 + 30000, t0 + 3600000, {second}, {secondFile}, [] {}},
        // A period whose start is its end: the blocks at that instant.
        {"the first block's instant", "radioButtonRange", t0, t0, {first}, {firstFile}, [] {}},
        {"an instant in the gap", "radioButtonRange", t0 + 30000, t0 + 30000, {kNoData}, {}, [] {}},
        // Nothing to start: an error, and the archive panel is not told.
        {"no reader", "radioButtonAll", t0, t0, {" - : " + kFailed}, {}, [&] { archive->hasReader = false; }},
        {"no archive panel", "radioButtonAll", t0, t0 + 61000, {first, second}, {firstFile, secondFile},
         [&] { archive->hasReader = true; services.unpublish(&manager); }},
        {"the folder removed", "radioButtonAll", t0, t0, failedFolder(6, "No such file or directory"), {},
         damageFolder(6, false)},
        // Root writes into any folder: a path under a file cannot be written.
        {"the folder turned into a file", "radioButtonAll", t0, t0, failedFolder(7, "Not a directory"), {},
         damageFolder(7, true)},
    };
    UrlCatcher desktop;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &desktop, "open");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = folderOf(int(&c - cases));
        ASSERT_TRUE(QDir().mkpath(folder));
        c.before();
        remake();
        from()->setDateTime(QDateTime::fromMSecsSinceEpoch(c.fromMs));
        to()->setDateTime(QDateTime::fromMSecsSinceEpoch(c.toMs));
        ASSERT_NO_FATAL_FAILURE(start(c.period, folder));
        ASSERT_TRUE(QTest::qWaitFor([&] { return buttons()->standardButtons() == QDialogButtonBox::Close; }, 30000));
        EXPECT_EQ(rows(), c.rows);
        // Of a zero-length period the one block is all of it.
        if (c.fromMs == c.toMs && !c.files.isEmpty()) {
            EXPECT_EQ(model()->index(0, 0).data(statusrole::Progress).toDouble(), 1.0);
        }
        // The summary: how it ended, how many files, where.
        const QStringList lines = summary().split(QLatin1Char('\n'));
        EXPECT_EQ(lines.value(0), c.rows.value(0).contains(kFailed) ? kEndedInError : kFinished);
        EXPECT_TRUE(lines.contains("Folder: " + folder)) << summary().toStdString();
        EXPECT_EQ(lines.filter(QRegularExpression("^Files: " + QString::number(c.files.size()) + "(,|$)")).size(), 1)
            << summary().toStdString();
        widget<QPushButton>("openFolderButton")->click();
        EXPECT_EQ(desktop.opened.value(0), QUrl::fromLocalFile(folder));
        desktop.opened.clear();
        // The rows that name their files tell them as they are on disk.
        QStringList named;
        for (int row = 0; row < model()->rowCount(); ++row) {
            const QString name = model()->index(row, 0).data(statusrole::FileName).toString();
            if (name.isEmpty())
                continue;
            named << name;
            QFile written(QDir(folder).filePath(name));
            ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << name.toStdString();
            EXPECT_EQ(model()->index(row, 0).data(statusrole::SizeBytes).toLongLong(), written.size());
            EXPECT_EQ(model()->index(row, 0).data(statusrole::Sha256).toString(),
                      QCryptographicHash::hash(written.readAll(), QCryptographicHash::Sha256).toHex());
            EXPECT_TRUE(tip(row).contains(name) && tip(row).contains(QString::number(written.size())));
        }
        if (!named.isEmpty()) {
            EXPECT_EQ(named, c.files);
        }
        dialog.reset();
        EXPECT_EQ(harness::mkvFiles(folder), c.files);
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    EXPECT_EQ(services.archivePanel->exportsStarted(), 4);
}

// Stopping keeps what was written: the file being written is finished,
// named and recorded, and the record says the export was stopped. Cancel,
// Escape and the window's close button keep the dialog on its list, saying
// that the last file is being finished, without waiting for the worker on
// this thread, then show the summary; a dialog destroyed meanwhile waits.
// The worker reads no block once asked to stop, and a stop in the instant
// after OK, before the worker has taken the start, still gives a record.
TEST_F(ExportDialogTest, StoppingKeepsACompleteFile)
{
    const struct {
        const char *name;
        std::function<void()> stop;  // null: the dialog is destroyed
        bool atOnce;                  // in the same instant as OK
    } cases[] = {
        {"Cancel", [this] { buttons()->button(QDialogButtonBox::Cancel)->click(); }, false},
        {"Escape", [this] { QTest::keyClick(dialog.get(), Qt::Key_Escape); }, false},
        {"the window's close button", [this] { dialog->close(); }, false},
        {"destroyed", nullptr, false},
        {"Cancel right after OK", [this] { buttons()->button(QDialogButtonBox::Cancel)->click(); }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = out.filePath(QString::number(&c - cases));
        ASSERT_TRUE(QDir().mkpath(folder));
        // The worker is held in the middle of a file until this thread has
        // asked it to stop, and lets go after 10 s anyway.
        std::atomic<bool> held{false};
        std::atomic<bool> heldUntilAsked{false};
        std::atomic<bool> stopping{false};
        std::atomic<int> readWhileStopping{0};
        QSemaphore stopAsked;
        archive->feed = [&, endless = fakes::endlessFeed()](int64_t fromMs) {
            return [&, next = endless(fromMs), blocks = 0](fakes::Block *block) mutable {
                readWhileStopping += stopping ? 1 : 0;
                if (++blocks == 100) {
                    held = true;
                    heldUntilAsked = stopAsked.tryAcquire(1, 10000);
                }
                return next(block);
            };
        };
        remake();
        to()->setDateTime(QDateTime::fromMSecsSinceEpoch(t0 + 864000000));
        ASSERT_NO_FATAL_FAILURE(start("radioButtonRange", folder));
        ASSERT_TRUE(c.atOnce || QTest::qWaitFor([&] { return held.load(); }, 30000));
        // Asked while it waits in the middle of a file, the worker reads nothing more.
        const bool askedWhileHeld = c.stop && !c.atOnce;
        stopping = askedWhileHeld;
        if (c.stop) {
            c.stop();
            stopAsked.release();
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(summary(), QStringLiteral("Stopping: the last file is being finished..."));
            EXPECT_FALSE(buttons()->button(QDialogButtonBox::Cancel)->isEnabled());
            ASSERT_TRUE(QTest::qWaitFor([&] { return buttons()->standardButtons() == QDialogButtonBox::Close; }, 30000));
            EXPECT_TRUE(heldUntilAsked || c.atOnce);
            const QStringList lines = summary().split(QLatin1Char('\n'));
            EXPECT_EQ(lines.value(0), kStopped);
            if (!c.atOnce) {
                EXPECT_TRUE(lines.value(1).startsWith(QStringLiteral("Files: 1"))) << summary().toStdString();
                EXPECT_EQ(rows().size(), 1);
                EXPECT_TRUE(rows().value(0).endsWith(QStringLiteral(": Complete"))) << rows().value(0).toStdString();
            }
            EXPECT_EQ(dialog->focusWidget(), buttons()->button(QDialogButtonBox::Close));
            buttons()->button(QDialogButtonBox::Close)->click();
            EXPECT_FALSE(dialog->isVisible());
        } else {
            stopAsked.release();
        }
        dialog.reset();  // a running export is stopped and its thread waited for
        EXPECT_EQ(QDir(folder).entryList({QStringLiteral("tmpchunk*")}, QDir::Files), QStringList());
        EXPECT_TRUE(!askedWhileHeld || readWhileStopping == 0) << readWhileStopping;
        // Right after OK the worker may not have opened a file yet.
        const QStringList files = harness::mkvFiles(folder);
        ASSERT_TRUE(files.size() == 1 || (c.atOnce && files.empty())) << files.size();
        for (const QString &file : files) {
            EXPECT_TRUE(file.startsWith(QStringLiteral("2023.06.01.10.00.00-")));
            EXPECT_TRUE(harness::hasChecksum(QDir(folder).filePath(file)));
        }
        const std::vector<QJsonObject> records = harness::recordsIn(folder);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].value("ended").toObject().value("how").toString(), QStringLiteral("stopped"));
        EXPECT_EQ(records[0].value("files").toArray().size(), files.size());
    }
}

// The time track's box, under the size limit, is on until the operator
// turns it off, shows the operator's last choice in the next dialog, and
// decides whether the files and the record have the track.
TEST_F(ExportDialogTest, TheTimeTrackBoxIsKeptForTheSession)
{
    const auto box = [this] { return widget<QCheckBox>("checkBoxTimeTrack"); };
    QLayout *page = widget("page")->layout();
    EXPECT_EQ(page->indexOf(box()), page->indexOf(widget("spinBoxLimitation")) + 1);
    EXPECT_EQ(box()->text(), "Show the recording time in the files (subtitles)");
    EXPECT_TRUE(box()->isChecked());
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on);
        box()->setChecked(on);
        const QString folder = out.filePath(QString::number(on));
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_NO_FATAL_FAILURE(start("radioButtonAll", folder));
        ASSERT_TRUE(QTest::qWaitFor([&] { return buttons()->standardButtons() == QDialogButtonBox::Close; }, 30000));
        remake();
        EXPECT_EQ(box()->isChecked(), on);
        EXPECT_EQ(harness::readFile(folder + '/' + harness::mkvFiles(folder).value(0)).cues.empty(), !on);
        EXPECT_EQ(harness::recordsIn(folder).at(0).value("timeTrack"), QJsonValue(on));
    }
}

}  // namespace

#include "ExportDialogTest.moc"
