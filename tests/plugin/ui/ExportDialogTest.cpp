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
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QJsonArray>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>
#include <QTreeView>

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
    void post(uint32_t kind, int64_t time = -1, double progress = -1.0)
    {
        const uint32_t code = kind == Error ? kWriteErrorCode : 0;
        QCoreApplication::postEvent(dialog.get(), new ControllerEvent(kind, code, progress, time));
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
    const struct {
        const char *period;  // clicked; null: none yet
        const char *folder;
        bool ok, editors;
    } steps[] = {{nullptr, "/tmp", false, false},       {"radioButtonAll", "", false, false},
                 {"radioButtonYesterday", "/tmp", true, false}, {"radioButtonRange", "/tmp", true, true},
                 {"radioButtonAll", "/tmp", true, false}, {"radioButtonRange", "", false, true}};
    for (const auto &step : steps) {
        widget<QLineEdit>("dirNameEdit")->setText(QLatin1String(step.folder));
        if (step.period)
            widget<QRadioButton>(step.period)->click();
        QMetaObject::invokeMethod(dialog.get(), "updateButtons");
        EXPECT_EQ(ok()->isEnabled(), step.ok) << (step.period ? step.period : "-") << " '" << step.folder << "'";
        EXPECT_EQ(widget("dateTime")->isEnabled(), step.editors) << (step.period ? step.period : "-");
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
    post(Closed, t2);
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
}

// How the end of an export reaches the operator, report by report: the
// dialog shows its end (Close alone, or closes when asked to) once the
// engine has ended and the last file is closed, and at once on an error,
// which it never closes away.
TEST_F(ExportDialogTest, HowAnExportEnds)
{
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = t1 + 40000;
    const QString file = QStringLiteral("01.06.2023 09:00:00 - 01.06.2023 09:00:40: ");
    const struct {
        const char *name;
        bool closeAfterFinish;
        std::vector<std::pair<uint32_t, int64_t>> reports;
        size_t endsAt;  // the report after which the end shows
        bool closes;
        QString row;
    } cases[] = {
        {"nothing in the period", false, {{Finished, -1}}, 0, false, kNoData},
        {"nothing in the period, close asked", true, {{Finished, -1}}, 0, true, kNoData},
        {"the last file closes after the end", false, {{Started, t1}, {Progress, -1}, {Finished, -1}, {Closed, t2}}, 3,
         false, file + "Complete"},
        {"the last file closes after the end, close asked", true, {{Started, t1}, {Finished, -1}, {Closed, t2}}, 2,
         true, file + "Complete"},
        {"an error before any file, then the end", true, {{Error, -1}, {Finished, -1}}, 0, false, " - : " + kFailed},
        {"an error while writing; the failed file closes after it", true,
         {{Started, t1}, {Error, -1}, {Closed, t2}, {Finished, -1}}, 1, false, file + kFailed},
        {"a file that cannot be opened after a finished one", true, {{Started, t1}, {Closed, t2}, {Error, -1}}, 2,
         false, file + kFailed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remake();
        auto *closeAfterFinish = widget<QCheckBox>("closeAfterFinish");
        closeAfterFinish->setChecked(c.closeAfterFinish);
        for (size_t i = 0; i < c.reports.size(); ++i) {
            post(c.reports[i].first, c.reports[i].second, 0.5);
            const bool ended = i >= c.endsAt;
            EXPECT_EQ(dialog->isVisible(), !(ended && c.closes)) << i;
            if (!ended || !c.closes) {
                EXPECT_EQ(closeAfterFinish->isEnabled(), !ended) << i;
                const auto expected = ended ? QDialogButtonBox::Close : QDialogButtonBox::Ok | QDialogButtonBox::Cancel;
                EXPECT_EQ(buttons()->standardButtons(), expected) << i;
            }
        }
        EXPECT_EQ(rows(), QStringList{c.row});
        if (QPushButton *close = c.closes ? nullptr : buttons()->button(QDialogButtonBox::Close)) {
            close->click();
            EXPECT_FALSE(dialog->isVisible());
        }
    }
}

// Whole exports through the engine: the rows they end with, and the files.
TEST_F(ExportDialogTest, ExportsWithTheEngine)
{
    const QString first = QStringLiteral("01.06.2023 10:00:00 - 01.06.2023 10:00:00: Complete");
    const QString second = QStringLiteral("01.06.2023 10:01:00 - 01.06.2023 10:01:00: Complete");
    const QString firstFile = QStringLiteral("2023.06.01.10.00.00-2023.06.01.10.00.00.mkv");
    const QString secondFile = QStringLiteral("2023.06.01.10.01.00-2023.06.01.10.01.00.mkv");
    const struct {
        const char *name;
        const char *period;
        int64_t fromMs, toMs;  // of a range
        QStringList rows, files;
        std::function<void()> before;
    } cases[] = {
        {"whole archive", "radioButtonAll", t0, t0 + 61000, {first, second}, {firstFile, secondFile}, [] {}},
        {"from the gap on", "radioButtonRange", t0 + 30000, t0 + 3600000, {second}, {secondFile}, [] {}},
        {"ending before it starts", "radioButtonRange", t0 + 60000, t0, {kNoData}, {}, [] {}},
        // A period whose start is its end: the blocks at that instant.
        {"the first block's instant", "radioButtonRange", t0, t0, {first}, {firstFile}, [] {}},
        {"an instant in the gap", "radioButtonRange", t0 + 30000, t0 + 30000, {kNoData}, {}, [] {}},
        // Nothing to start: an error, and the archive panel is not told.
        {"no reader", "radioButtonAll", t0, t0, {" - : " + kFailed}, {}, [&] { archive->hasReader = false; }},
        {"no archive panel", "radioButtonAll", t0, t0 + 61000, {first, second}, {firstFile, secondFile},
         [&] { archive->hasReader = true; services.unpublish(&manager); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = out.filePath(QString::number(&c - cases));
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
        dialog.reset();
        EXPECT_EQ(harness::mkvFiles(folder), c.files);
    }
    EXPECT_EQ(services.archivePanel->exportsStarted(), 5);
}

// Closing the dialog stops the export: the file being written is finished,
// named and recorded, and the record says the export was stopped.
TEST_F(ExportDialogTest, ClosingDuringAnExportLeavesACompleteFile)
{
    archive->feed = fakes::endlessFeed();
    to()->setDateTime(QDateTime::fromMSecsSinceEpoch(t0 + 864000000));
    ASSERT_NO_FATAL_FAILURE(start("radioButtonRange", out.path()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return model()->rowCount() > 0; }, 30000));
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
