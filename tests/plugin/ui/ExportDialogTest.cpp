// The export dialog as the operator uses it: its texts and limits, when OK
// may be pressed, the periods, the folder chooser, the status list the
// engine's reports make, how an export ends, and whole exports of the fake
// archive through the real engine.
#include "client/runtime/Components.h"
#include "client/services/Services.h"
#include "plugin/export/Events.h"
#include "plugin/host/Guids.h"
#include "plugin/ui/ExportDialog.h"
#include "plugin/ui/StatusRoles.h"
#include "tests/plugin/export/Harness.h"
#include "tests/support/LocalZone.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <gtest/gtest.h>
#include <memory>

namespace {

// Rows and names show local times; yesterday spans a daylight-saving change
// only in a zone that has them.
const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");

// The reports' kinds as numbers: every receiver of the engine's reports
// relies on them, not only this dialog.
enum Kind : uint32_t { Started = 0, Closed = 1, Finished = 2, Error = 3, Progress = 4 };

const int64_t t0 = QDateTime(QDate(2023, 6, 1), QTime(10, 0, 0)).toMSecsSinceEpoch();

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
        for (const Fragment &fragment : archive->fragments) {
            for (int64_t t = fragment.start; t < fragment.end; t += 40) {
                archive->script.push_back(fakes::video(t));
                archive->script.push_back(fakes::audio(t + 1));
            }
        }
        archive->script.push_back(fakes::video(t0 + 7200000));
    }
    void TearDown() override
    {
        manager.clear();
        velt::unregisterFactory(guids::kEncodedDataQueue);
    }

    std::unique_ptr<ExportDialog> makeDialog()
    {
        auto dialog = std::make_unique<ExportDialog>(&manager, fakes::archiveSource(archive), 0, nullptr);
        dialog->show();
        return dialog;
    }
    template <class W = QWidget>
    static W *widget(QWidget *dialog, const char *name)
    {
        W *w = dialog->findChild<W *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    static QDialogButtonBox *buttons(QWidget *dialog) { return widget<QDialogButtonBox>(dialog, "buttonBox"); }
    static QPushButton *ok(QWidget *dialog) { return buttons(dialog)->button(QDialogButtonBox::Ok); }
    static QDateTimeEdit *from(QWidget *dialog) { return widget<QDateTimeEdit>(dialog, "dateTimeFrom"); }
    static QDateTimeEdit *to(QWidget *dialog) { return widget<QDateTimeEdit>(dialog, "dateTimeTo"); }
    static QAbstractItemModel *model(QWidget *dialog) { return widget<QTreeView>(dialog, "statusView")->model(); }
    // Each row of the status list as "from - to: state", or its one cell.
    static QStringList rows(QWidget *dialog)
    {
        QAbstractItemModel *m = model(dialog);
        QStringList rows;
        for (int row = 0; row < m->rowCount(); ++row) {
            const auto cell = [&](int column) { return m->data(m->index(row, column)).toString(); };
            rows << (m->columnCount() == 1 ? cell(0) : cell(0) + " - " + cell(1) + ": " + cell(2));
        }
        return rows;
    }
    static void post(QObject *receiver, uint32_t kind, int64_t time = -1, double progress = -1.0)
    {
        QCoreApplication::postEvent(receiver,
                                    new ControllerEvent(kind, kind == Error ? kWriteErrorCode : 0, progress, time));
        QCoreApplication::sendPostedEvents(receiver);
    }
    // Chooses the folder and `period`, and presses OK.
    void start(QWidget *dialog, const char *period, const QString &folder)
    {
        widget<QLineEdit>(dialog, "dirNameEdit")->setText(folder);
        widget<QRadioButton>(dialog, period)->click();
        ASSERT_TRUE(ok(dialog)->isEnabled());
        ok(dialog)->click();
        // The settings give way to the list, and OK cannot start another.
        EXPECT_EQ(widget<QStackedWidget>(dialog, "stackedWidget")->currentIndex(), 1);
        QPushButton *again = ok(dialog);
        EXPECT_TRUE(!again || !again->isEnabled());
    }
    static bool waitForEnd(QWidget *dialog)
    {
        return QTest::qWaitFor([&] { return buttons(dialog)->standardButtons() == QDialogButtonBox::Close; }, 30000);
    }

    velt::ComponentManager manager;
    clientui::Services services;
    std::shared_ptr<fakes::Archive> archive = std::make_shared<fakes::Archive>();
    QTemporaryDir out;
};

TEST_F(ExportDialogTest, TextsArchiveBoundsAndSizeLimit)
{
    auto dialog = makeDialog();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Export archive"));
    const std::pair<const char *, const char *> texts[] = {
        {"label", "Target folder:"},           {"label_2", "From"},
        {"label_3", "To"},                     {"radioButtonAll", "Whole archive"},
        {"radioButtonYesterday", "Yesterday"}, {"radioButtonRange", "Period"},
        {"closeAfterFinish", "Close when the export has finished"},
        {"checkBoxLimitation", "Limit file size"},
    };
    for (const auto &[name, text] : texts)
        EXPECT_EQ(widget(dialog.get(), name)->property("text").toString(), QLatin1String(text)) << name;
    EXPECT_EQ(widget(dialog.get(), "checkBoxLimitation")->toolTip(),
              QStringLiteral("Start a new file when this size is reached (0 means no limit)"));
    EXPECT_EQ(widget<QStackedWidget>(dialog.get(), "stackedWidget")->currentIndex(), 0);
    EXPECT_EQ(from(dialog.get())->dateTime().toMSecsSinceEpoch(), t0);
    EXPECT_EQ(to(dialog.get())->dateTime().toMSecsSinceEpoch(), t0 + 61000);

    // The limit is switched on apart from its value, from 0 to 1024 MB.
    auto *limit = widget<QSpinBox>(dialog.get(), "spinBoxLimitation");
    EXPECT_FALSE(limit->isEnabled());
    widget<QCheckBox>(dialog.get(), "checkBoxLimitation")->click();
    EXPECT_TRUE(limit->isEnabled());
    for (const auto &[typed, kept] : {std::pair{1024, 1024}, {1025, 1024}, {0, 0}, {-1, 0}}) {
        limit->setValue(typed);
        EXPECT_EQ(limit->value(), kept) << typed;
    }
    EXPECT_EQ(limit->suffix(), QStringLiteral(" MB"));
}

TEST_F(ExportDialogTest, OkNeedsAFolderAndAPeriod)
{
    auto dialog = makeDialog();
    auto *folder = widget<QLineEdit>(dialog.get(), "dirNameEdit");
    auto *editors = widget(dialog.get(), "dateTime");
    const struct {
        const char *period;  // clicked; null: none
        const char *folder;
        bool ok;
        bool editors;
    } steps[] = {
        {nullptr, "/tmp", false, false},         {"radioButtonAll", "", false, false},
        {"radioButtonYesterday", "/tmp", true, false}, {"radioButtonRange", "/tmp", true, true},
        {"radioButtonAll", "/tmp", true, false}, {"radioButtonRange", "", false, true},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(testing::Message() << (step.period ? step.period : "no period") << " '" << step.folder << "'");
        folder->setText(QLatin1String(step.folder));
        if (step.period)
            widget<QRadioButton>(dialog.get(), step.period)->click();
        QMetaObject::invokeMethod(dialog.get(), "updateButtons");
        EXPECT_EQ(ok(dialog.get())->isEnabled(), step.ok);
        EXPECT_EQ(editors->isEnabled(), step.editors);
    }
}

TEST_F(ExportDialogTest, PeriodsYesterdayAndAll)
{
    // Yesterday runs from local midnight to local midnight, also over
    // daylight-saving changes and the end of February.
    for (const QDate &today : {QDate(2024, 3, 1), QDate(2024, 1, 1), QDate(2023, 3, 27), QDate(2023, 10, 30)}) {
        const DayPeriod p = yesterdayOf(today);
        EXPECT_EQ(p.from, QDateTime(today.addDays(-1), QTime(0, 0))) << today.toString().toStdString();
        EXPECT_EQ(p.to, QDateTime(today, QTime(0, 0))) << today.toString().toStdString();
    }
    EXPECT_EQ(yesterdayOf(QDate(2024, 3, 1)).from.date(), QDate(2024, 2, 29));
    const DayPeriod yesterday = yesterdayOf(QDate::currentDate());
    auto dialog = makeDialog();
    widget<QRadioButton>(dialog.get(), "radioButtonYesterday")->click();
    EXPECT_EQ(from(dialog.get())->dateTime(), yesterday.from);
    EXPECT_EQ(to(dialog.get())->dateTime(), yesterday.to);
    // The whole archive asks for its bounds again; without bounds the
    // editors stay as they are.
    archive->lastMs += 3600 * 1000;
    widget<QRadioButton>(dialog.get(), "radioButtonAll")->click();
    EXPECT_EQ(to(dialog.get())->dateTime().toMSecsSinceEpoch(), archive->lastMs);
    for (const auto &breakIt : std::vector<std::function<void(fakes::Archive &)>>{
             [](fakes::Archive &a) { a.hasReader = false; }, [](fakes::Archive &a) { a.hasIndex = false; },
             [](fakes::Archive &a) { a.fragments.clear(); }}) {
        breakIt(*archive);
        auto broken = makeDialog();
        EXPECT_EQ(from(broken.get())->dateTime(), QDateTimeEdit().dateTime());
        widget<QRadioButton>(broken.get(), "radioButtonYesterday")->click();
        widget<QRadioButton>(broken.get(), "radioButtonAll")->click();
        EXPECT_EQ(from(broken.get())->dateTime(), yesterday.from);
        EXPECT_EQ(to(broken.get())->dateTime(), yesterday.to);
        *archive = fakes::Archive();
    }
}

TEST_F(ExportDialogTest, FolderChooserStartsAtHomeThenAtTheChoice)
{
    const QString target = QDir(out.path()).canonicalPath();
    auto dialog = makeDialog();
    auto *folder = widget<QLineEdit>(dialog.get(), "dirNameEdit");
    QString startedAt;
    // Picks the target the first time, cancels the second.
    for (bool pick : {true, false}) {
        QTimer::singleShot(0, [&] {
            auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            ASSERT_NE(chooser, nullptr);
            EXPECT_EQ(chooser->windowTitle(), QStringLiteral("Export archive"));
            EXPECT_TRUE(chooser->testOption(QFileDialog::ShowDirsOnly) && chooser->fileMode() == QFileDialog::Directory);
            startedAt = chooser->directory().canonicalPath();
            chooser->setDirectory(target);
            if (pick)
                QMetaObject::invokeMethod(chooser, "accept");
            else
                chooser->reject();
        });
        widget<QToolButton>(dialog.get(), "toolButton")->click();
        EXPECT_EQ(startedAt, pick ? QDir::home().canonicalPath() : target);
        EXPECT_EQ(QDir(folder->text()).canonicalPath(), target);
    }
}

TEST_F(ExportDialogTest, ReportsBecomeRows)
{
    auto dialog = makeDialog();
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = t1 + 1800 * 1000 + 999;
    post(dialog.get(), Started, t1);
    const std::pair<double, const char *> progress[] = {
        {0.0004, "0.0 %"}, {0.05, "5.0 %"}, {0.4252, "42.5 %"}, {0.99999, "100.0 %"}, {1.0, "100.0 %"}};
    for (const auto &[fraction, text] : progress) {
        post(dialog.get(), Progress, -1, fraction);
        EXPECT_EQ(rows(dialog.get()), QStringList{QStringLiteral("01.06.2023 09:00:00 - : ") + text});
    }
    post(dialog.get(), Closed, t2);
    post(dialog.get(), Started, t2);
    // Other kinds and other events of the same type change nothing.
    for (uint32_t kind : {5u, 99u})
        post(dialog.get(), kind, t1, 0.5);
    QCoreApplication::postEvent(dialog.get(), new ExportEvent(0, t1, t2));
    QCoreApplication::postEvent(dialog.get(), new QEvent(kExportEventType));
    QCoreApplication::sendPostedEvents(dialog.get());
    EXPECT_EQ(rows(dialog.get()), (QStringList{"01.06.2023 09:00:00 - 01.06.2023 09:30:00: Complete",
                                               "01.06.2023 09:30:00 - : 0.0 %"}));
    EXPECT_EQ(model(dialog.get())->headerData(0, Qt::Horizontal).toString(), QStringLiteral("From"));
    EXPECT_EQ(model(dialog.get())->headerData(1, Qt::Horizontal).toString(), QStringLiteral("To"));
    EXPECT_EQ(model(dialog.get())->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Status"));
    EXPECT_EQ(buttons(dialog.get())->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
}

// How the end of an export reaches the operator, report by report: the
// dialog shows its end (Close alone, or closes when asked to) once the
// engine has ended and the last file is closed, and at once on an error,
// which it never closes away.
TEST_F(ExportDialogTest, HowAnExportEnds)
{
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = t1 + 40000;
    const QString error = QStringLiteral("01.06.2023 09:00:00 - 01.06.2023 09:00:40: Error: the file cannot be created or written");
    const struct {
        const char *name;
        bool closeAfterFinish;
        std::vector<std::pair<uint32_t, int64_t>> reports;
        size_t endsAt;  // the report after which the end shows
        bool closes;
        QStringList rows;
    } cases[] = {
        {"nothing in the period", false, {{Finished, -1}}, 0, false, {"No recorded data in the chosen period"}},
        {"nothing in the period, close asked", true, {{Finished, -1}}, 0, true, {"No recorded data in the chosen period"}},
        {"the last file closes after the end", false, {{Started, t1}, {Progress, -1}, {Finished, -1}, {Closed, t2}}, 3,
         false, {"01.06.2023 09:00:00 - 01.06.2023 09:00:40: Complete"}},
        {"the last file closes after the end, close asked", true, {{Started, t1}, {Finished, -1}, {Closed, t2}}, 2,
         true, {"01.06.2023 09:00:00 - 01.06.2023 09:00:40: Complete"}},
        {"an error before any file, then the end", true, {{Error, -1}, {Finished, -1}}, 0, false,
         {" - : Error: the file cannot be created or written"}},
        {"an error while writing; the failed file closes after it", true,
         {{Started, t1}, {Error, -1}, {Closed, t2}, {Finished, -1}}, 1, false, {error}},
        {"a file that cannot be opened after a finished one", true, {{Started, t1}, {Closed, t2}, {Error, -1}}, 2,
         false, {error}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto dialog = makeDialog();
        auto *closeAfterFinish = widget<QCheckBox>(dialog.get(), "closeAfterFinish");
        closeAfterFinish->setChecked(c.closeAfterFinish);
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        for (size_t i = 0; i < c.reports.size(); ++i) {
            post(dialog.get(), c.reports[i].first, c.reports[i].second, 0.5);
            SCOPED_TRACE(testing::Message() << "after report " << i);
            if (i < c.endsAt) {
                EXPECT_EQ(buttons(dialog.get())->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
                EXPECT_TRUE(closeAfterFinish->isEnabled());
            } else {
                EXPECT_EQ(dialog->isVisible(), !c.closes);
                EXPECT_TRUE(c.closes || buttons(dialog.get())->standardButtons() == QDialogButtonBox::Close);
                EXPECT_FALSE(!c.closes && closeAfterFinish->isEnabled());
            }
        }
        EXPECT_EQ(finished.count(), c.closes ? 1 : 0);
        EXPECT_EQ(rows(dialog.get()), c.rows);
        if (!c.closes) {
            buttons(dialog.get())->button(QDialogButtonBox::Close)->click();
            EXPECT_FALSE(dialog->isVisible());
        }
    }
}

// Whole exports through the engine: the rows they end with, and the files.
TEST_F(ExportDialogTest, ExportsWithTheEngine)
{
    const QString first = QStringLiteral("01.06.2023 10:00:00 - 01.06.2023 10:00:00: Complete");
    const QString second = QStringLiteral("01.06.2023 10:01:00 - 01.06.2023 10:01:00: Complete");
    const QString noData = QStringLiteral("No recorded data in the chosen period");
    const struct {
        const char *name;
        const char *period;
        int64_t fromMs, toMs;  // of a range
        QStringList rows;
        QStringList files;
    } cases[] = {
        {"whole archive", "radioButtonAll", t0, t0 + 61000, {first, second},
         {"2023.06.01.10.00.00-2023.06.01.10.00.00.mkv", "2023.06.01.10.01.00-2023.06.01.10.01.00.mkv"}},
        {"from the gap on", "radioButtonRange", t0 + 30000, t0 + 3600000, {second},
         {"2023.06.01.10.01.00-2023.06.01.10.01.00.mkv"}},
        {"ending before it starts", "radioButtonRange", t0 + 60000, t0, {noData}, {}},
        // A period whose start is its end: the blocks at that instant.
        {"the first block's instant", "radioButtonRange", t0, t0, {first},
         {"2023.06.01.10.00.00-2023.06.01.10.00.00.mkv"}},
        {"an instant in the gap", "radioButtonRange", t0 + 30000, t0 + 30000, {noData}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = out.filePath(QString::number(&c - cases));
        ASSERT_TRUE(QDir().mkpath(folder));
        auto dialog = makeDialog();
        from(dialog.get())->setDateTime(QDateTime::fromMSecsSinceEpoch(c.fromMs));
        to(dialog.get())->setDateTime(QDateTime::fromMSecsSinceEpoch(c.toMs));
        ASSERT_NO_FATAL_FAILURE(start(dialog.get(), c.period, folder));
        ASSERT_TRUE(waitForEnd(dialog.get()));
        EXPECT_EQ(rows(dialog.get()), c.rows);
        if (c.fromMs == c.toMs && !c.files.isEmpty()) {
            EXPECT_EQ(model(dialog.get())->index(0, 0).data(statusrole::Progress).toDouble(), 1.0);
        }
        dialog.reset();
        EXPECT_EQ(harness::mkvFiles(folder), c.files);
    }
    EXPECT_EQ(services.archivePanel->exportsStarted(), 5);
}

TEST_F(ExportDialogTest, AnExportThatCannotStartIsAnErrorThatStaysOpen)
{
    for (bool panel : {true, false}) {
        if (!panel)
            services.unpublish(&manager);
        auto dialog = makeDialog();
        widget<QCheckBox>(dialog.get(), "closeAfterFinish")->setChecked(true);
        archive->hasReader = !panel;  // without a reader no engine can start
        archive->hasIndex = false;    // ... with one but no index, the archive is empty
        ASSERT_NO_FATAL_FAILURE(start(dialog.get(), "radioButtonRange", out.path()));
        if (panel) {
            EXPECT_EQ(rows(dialog.get()), QStringList{" - : Error: the file cannot be created or written"});
            EXPECT_TRUE(dialog->isVisible());
            EXPECT_EQ(buttons(dialog.get())->standardButtons(), QDialogButtonBox::Close);
        } else {
            // Without the archive panel the export still runs, and closes as asked.
            EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }, 30000));
        }
    }
    EXPECT_EQ(services.archivePanel->exportsStarted(), 0);
}

// Closing the dialog stops the export: the file being written is finished,
// named and recorded, and the record says the export was stopped.
TEST_F(ExportDialogTest, ClosingDuringAnExportLeavesACompleteFile)
{
    archive->feed = [](int64_t fromMs) {
        return [next = fromMs](fakes::Block *block) mutable {
            *block = fakes::block((next % 2) ? 8 : 0, next);
            next += (next % 2) ? 39 : 1;
            return true;
        };
    };
    auto dialog = makeDialog();
    to(dialog.get())->setDateTime(QDateTime::fromMSecsSinceEpoch(t0 + 864000000));
    ASSERT_NO_FATAL_FAILURE(start(dialog.get(), "radioButtonRange", out.path()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model(dialog.get())->rowCount() > 0; }, 30000));
    dialog.reset();  // stops the engine and waits for its thread
    EXPECT_EQ(QDir(out.path()).entryList({QStringLiteral("tmpchunk*")}, QDir::Files), QStringList());
    const QStringList files = harness::mkvFiles(out.path());
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(files[0].startsWith(QStringLiteral("2023.06.01.10.00.00-")));
    EXPECT_TRUE(harness::hasChecksum(out.filePath(files[0])));
    const std::vector<QJsonObject> records = harness::recordsIn(out.path());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value("ended").toObject().value("how").toString(), QStringLiteral("stopped"));
    EXPECT_EQ(records[0].value("files").toArray().size(), 1);
}

}  // namespace
