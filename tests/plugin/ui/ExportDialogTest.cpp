// The export dialog's behaviour: texts, enabling rule, periods, archive
// bounds, directory chooser, reports from the engine and the end of an
// export, with the real engine behind OK where the archive lets it end at
// once.
#include "client/services/Services.h"
#include "client/runtime/Components.h"
#include "plugin/export/Events.h"
#include "plugin/host/Translation.h"
#include "tests/support/LocalZone.h"
#include "tests/plugin/ui/FakeSource.h"
#include "plugin/ui/ExportDialog.h"
#include "plugin/ui/StatusListModel.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace {

// The yesterday test's dates are the days after daylight-saving changes: a
// day of 23 or 25 hours shows only in a zone that has them.
const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");

class ExportDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        velt::registerTranslator();
        services.publish(&manager);
        bounds->firstMs = QDateTime(QDate(2023, 6, 1), QTime(8, 30, 15)).toMSecsSinceEpoch();
        bounds->lastMs = QDateTime(QDate(2023, 6, 3), QTime(19, 45, 50)).toMSecsSinceEpoch();
    }
    void TearDown() override { manager.clear(); }

    std::unique_ptr<ExportDialog> makeDialog()
    {
        return std::make_unique<ExportDialog>(&manager, fakes::archiveSource(bounds), 0, nullptr);
    }

    template <class W>
    static W *widget(QWidget *dialog, const char *name)
    {
        W *w = dialog->findChild<W *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    static QPushButton *okButton(QWidget *dialog)
    {
        return widget<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok);
    }
    static QDateTime from(QWidget *dialog) { return widget<QDateTimeEdit>(dialog, "dateTimeFrom")->dateTime(); }
    static QDateTime to(QWidget *dialog) { return widget<QDateTimeEdit>(dialog, "dateTimeTo")->dateTime(); }
    static StatusListModel *model(QWidget *dialog)
    {
        return qobject_cast<StatusListModel *>(widget<QTreeView>(dialog, "statusView")->model());
    }
    static QString statusCell(QWidget *dialog, int row, int column)
    {
        StatusListModel *m = model(dialog);
        return m->data(m->index(row, column)).toString();
    }
    // Sets a target directory and a period, then presses OK.
    void startExport(QWidget *dialog)
    {
        ASSERT_TRUE(exportDir.isValid());
        widget<QLineEdit>(dialog, "dirNameEdit")->setText(exportDir.path());
        widget<QRadioButton>(dialog, "radioButtonRange")->click();
        ASSERT_TRUE(okButton(dialog)->isEnabled());
        okButton(dialog)->click();
    }
    static void post(QObject *receiver, QEvent *event)
    {
        QCoreApplication::postEvent(receiver, event);
        QCoreApplication::sendPostedEvents(receiver);
    }

    velt::ComponentManager manager;
    clientui::Services services;
    std::shared_ptr<fakes::ArchiveBounds> bounds = std::make_shared<fakes::ArchiveBounds>();
    QTemporaryDir exportDir;  // where startExport exports to
};

TEST_F(ExportDialogTest, ConstructionTranslatesAndShowsTheArchiveBounds)
{
    auto dialog = makeDialog();
    EXPECT_EQ(dialog->windowTitle(), zkTranslation("MSGS_EXPORT_ARCHIVE"));
    EXPECT_NE(dialog->windowTitle(), QStringLiteral("MSGS_EXPORT_ARCHIVE"));
    EXPECT_EQ(widget<QLabel>(dialog.get(), "label")->text(), zkTranslation("MSGS_TARGET_DIR"));
    EXPECT_EQ(widget<QLabel>(dialog.get(), "label_2")->text(), zkTranslation("MSGS_TIME_FROM"));
    EXPECT_EQ(widget<QLabel>(dialog.get(), "label_3")->text(), zkTranslation("MSGS_TIME_TO"));
    EXPECT_EQ(widget<QRadioButton>(dialog.get(), "radioButtonAll")->text(), zkTranslation("MSGS_EXPORT_ALL"));
    EXPECT_EQ(widget<QRadioButton>(dialog.get(), "radioButtonYesterday")->text(),
              zkTranslation("MSGS_EXPORT_YESTERDAY"));
    EXPECT_EQ(widget<QRadioButton>(dialog.get(), "radioButtonRange")->text(), zkTranslation("MSGS_EXPORT_RANGE"));
    EXPECT_EQ(widget<QCheckBox>(dialog.get(), "closeAfterFinish")->text(), zkTranslation("MSGS_CLOSE_AFTER_FINISH"));
    auto *limitation = widget<QCheckBox>(dialog.get(), "checkBoxLimitation");
    EXPECT_EQ(limitation->text(), zkTranslation("MSGS_FILE_SIZE_LIMITATION"));
    EXPECT_EQ(limitation->toolTip(), zkTranslation("MSGI_FILE_SIZE_LIMITATION_TOOLTIP"));
    EXPECT_EQ(widget<QToolButton>(dialog.get(), "toolButton")->text(), QStringLiteral("..."));
    EXPECT_EQ(widget<QSpinBox>(dialog.get(), "spinBoxLimitation")->suffix(), QStringLiteral(" MB"));

    auto *view = widget<QTreeView>(dialog.get(), "statusView");
    ASSERT_NE(model(dialog.get()), nullptr);
    EXPECT_EQ(model(dialog.get())->parent(), dialog.get());
    EXPECT_EQ(view->header()->sectionResizeMode(0), QHeaderView::Stretch);
    EXPECT_EQ(widget<QStackedWidget>(dialog.get(), "stackedWidget")->currentIndex(), 0);

    EXPECT_EQ(from(dialog.get()).toMSecsSinceEpoch(), bounds->firstMs);
    EXPECT_EQ(to(dialog.get()).toMSecsSinceEpoch(), bounds->lastMs);
    // No period and no directory yet.
    EXPECT_FALSE(okButton(dialog.get())->isEnabled());
    EXPECT_FALSE(widget<QWidget>(dialog.get(), "dateTime")->isEnabled());
}

TEST_F(ExportDialogTest, OkNeedsADirectoryAndAPeriod)
{
    auto dialog = makeDialog();
    auto *dir = widget<QLineEdit>(dialog.get(), "dirNameEdit");
    auto *group = widget<QWidget>(dialog.get(), "dateTime");

    // A period without a directory.
    widget<QRadioButton>(dialog.get(), "radioButtonAll")->click();
    EXPECT_FALSE(okButton(dialog.get())->isEnabled());
    EXPECT_FALSE(group->isEnabled());

    // Each period with a directory; only the range opens the editors.
    dir->setText(QStringLiteral("/tmp"));
    widget<QRadioButton>(dialog.get(), "radioButtonYesterday")->click();
    EXPECT_TRUE(okButton(dialog.get())->isEnabled());
    EXPECT_FALSE(group->isEnabled());
    widget<QRadioButton>(dialog.get(), "radioButtonRange")->click();
    EXPECT_TRUE(okButton(dialog.get())->isEnabled());
    EXPECT_TRUE(group->isEnabled());
    widget<QRadioButton>(dialog.get(), "radioButtonAll")->click();
    EXPECT_TRUE(okButton(dialog.get())->isEnabled());
    EXPECT_FALSE(group->isEnabled());

    // A directory without a period.
    auto fresh = makeDialog();
    widget<QLineEdit>(fresh.get(), "dirNameEdit")->setText(QStringLiteral("/tmp"));
    ASSERT_TRUE(QMetaObject::invokeMethod(fresh.get(), "updateButtons"));
    EXPECT_FALSE(okButton(fresh.get())->isEnabled());
}

TEST_F(ExportDialogTest, LimitationSwitchOnlyEnablesTheValue)
{
    auto dialog = makeDialog();
    auto *box = widget<QCheckBox>(dialog.get(), "checkBoxLimitation");
    auto *value = widget<QSpinBox>(dialog.get(), "spinBoxLimitation");
    box->click();
    EXPECT_TRUE(value->isEnabled());
    value->setValue(35);
    box->click();
    EXPECT_FALSE(value->isEnabled());
    EXPECT_EQ(value->value(), 35);
    box->setChecked(true);
    EXPECT_TRUE(value->isEnabled());
}

TEST_F(ExportDialogTest, YesterdayIsFromLocalMidnightToLocalMidnight)
{
    const QDate dates[] = {QDate(2024, 3, 1), QDate(2024, 1, 1), QDate(2023, 3, 27), QDate(2023, 10, 30)};
    for (const QDate &today : dates) {
        const DayPeriod p = yesterdayOf(today);
        EXPECT_EQ(p.from.date(), today.addDays(-1));
        EXPECT_EQ(p.from.time(), QTime(0, 0, 0, 0));
        EXPECT_EQ(p.to.date(), today);
        EXPECT_EQ(p.to.time(), QTime(0, 0, 0, 0));
        EXPECT_EQ(p.from.timeSpec(), Qt::LocalTime);
        EXPECT_EQ(p.to.timeSpec(), Qt::LocalTime);
    }
    EXPECT_EQ(yesterdayOf(QDate(2024, 3, 1)).from.date(), QDate(2024, 2, 29));

    auto dialog = makeDialog();
    widget<QRadioButton>(dialog.get(), "radioButtonYesterday")->click();
    const DayPeriod expected = yesterdayOf(QDate::currentDate());
    EXPECT_EQ(from(dialog.get()), expected.from);
    EXPECT_EQ(to(dialog.get()), expected.to);

    // The range keeps what the editors show.
    widget<QRadioButton>(dialog.get(), "radioButtonRange")->click();
    EXPECT_EQ(from(dialog.get()), expected.from);
    EXPECT_EQ(to(dialog.get()), expected.to);
}

TEST_F(ExportDialogTest, AllReadsTheBoundsAgain)
{
    auto dialog = makeDialog();
    widget<QRadioButton>(dialog.get(), "radioButtonYesterday")->click();
    bounds->lastMs += 3600 * 1000;
    widget<QRadioButton>(dialog.get(), "radioButtonAll")->click();
    EXPECT_EQ(from(dialog.get()).toMSecsSinceEpoch(), bounds->firstMs);
    EXPECT_EQ(to(dialog.get()).toMSecsSinceEpoch(), bounds->lastMs);
}

TEST_F(ExportDialogTest, MissingBoundsLeaveTheEditorsAlone)
{
    const std::vector<std::function<void(fakes::ArchiveBounds &)>> breakers = {
        [](fakes::ArchiveBounds &b) { b.hasReader = false; },
        [](fakes::ArchiveBounds &b) { b.hasIndex = false; },
        [](fakes::ArchiveBounds &b) { b.boundsKnown = false; }};
    for (size_t i = 0; i < breakers.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "breaker " << i);
        const auto &breakBounds = breakers[i];
        *bounds = fakes::ArchiveBounds{};
        bounds->firstMs = 1000;
        bounds->lastMs = 2000;
        breakBounds(*bounds);
        auto dialog = makeDialog();
        QDateTimeEdit reference;  // an editor nobody wrote to
        EXPECT_EQ(from(dialog.get()), reference.dateTime());
        EXPECT_EQ(to(dialog.get()), reference.dateTime());

        widget<QRadioButton>(dialog.get(), "radioButtonYesterday")->click();
        widget<QRadioButton>(dialog.get(), "radioButtonAll")->click();
        const DayPeriod yesterday = yesterdayOf(QDate::currentDate());
        EXPECT_EQ(from(dialog.get()), yesterday.from);
        EXPECT_EQ(to(dialog.get()), yesterday.to);
    }
}

TEST_F(ExportDialogTest, DirectoryChooser)
{
    QTemporaryDir target;
    ASSERT_TRUE(target.isValid());
    const QString targetPath = QDir(target.path()).canonicalPath();
    auto dialog = makeDialog();
    widget<QRadioButton>(dialog.get(), "radioButtonAll")->click();
    auto *dir = widget<QLineEdit>(dialog.get(), "dirNameEdit");

    // First choice: starts at home, titled like the dialog, directories only; pick the target.
    QString startDir, caption, chooserParent;
    bool dirsOnly = false;
    QTimer::singleShot(0, [&] {
        auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(chooser, nullptr);
        startDir = chooser->directory().absolutePath();
        caption = chooser->windowTitle();
        dirsOnly = chooser->testOption(QFileDialog::ShowDirsOnly) && chooser->fileMode() == QFileDialog::Directory;
        chooserParent = chooser->parentWidget() ? chooser->parentWidget()->objectName() : QString();
        chooser->setDirectory(targetPath);
        QMetaObject::invokeMethod(chooser, "accept");
    });
    widget<QToolButton>(dialog.get(), "toolButton")->click();
    EXPECT_EQ(startDir, QDir(QDir::homePath()).absolutePath());
    EXPECT_EQ(caption, zkTranslation("MSGS_EXPORT_ARCHIVE"));
    EXPECT_TRUE(dirsOnly);
    EXPECT_EQ(chooserParent, QStringLiteral("ExportDialog"));
    EXPECT_EQ(QDir(dir->text()).canonicalPath(), targetPath);
    EXPECT_TRUE(okButton(dialog.get())->isEnabled());

    // Second choice starts where the first ended; cancelling keeps it.
    startDir.clear();
    QTimer::singleShot(0, [&] {
        auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        ASSERT_NE(chooser, nullptr);
        startDir = chooser->directory().canonicalPath();
        chooser->reject();
    });
    widget<QToolButton>(dialog.get(), "toolButton")->click();
    EXPECT_EQ(startDir, targetPath);
    EXPECT_EQ(QDir(dir->text()).canonicalPath(), targetPath);
    EXPECT_TRUE(okButton(dialog.get())->isEnabled());
}

TEST_F(ExportDialogTest, ReportsBecomeRows)
{
    auto dialog = makeDialog();
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = QDateTime(QDate(2023, 6, 1), QTime(9, 30, 0)).toMSecsSinceEpoch();
    post(dialog.get(), new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, t1));
    post(dialog.get(), new ControllerEvent(ControllerEvent::Progress, 0, 0.25, -1));
    EXPECT_EQ(statusCell(dialog.get(), 0, 0), QStringLiteral("01.06.2023 09:00:00"));
    EXPECT_EQ(statusCell(dialog.get(), 0, 2), QStringLiteral("25.0 %"));
    post(dialog.get(), new ControllerEvent(ControllerEvent::FileClosed, 0, -1.0, t2));
    EXPECT_EQ(statusCell(dialog.get(), 0, 1), QStringLiteral("01.06.2023 09:30:00"));
    EXPECT_EQ(statusCell(dialog.get(), 0, 2), zkTranslation("MSGI_COMPLETE"));
    post(dialog.get(), new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, t2));
    EXPECT_EQ(statusCell(dialog.get(), 1, 2), QStringLiteral("0.0 %"));

    // Unknown kinds, other events of the same type and other custom events change nothing.
    post(dialog.get(), new ControllerEvent(5, 0, 0.5, t1));
    post(dialog.get(), new ControllerEvent(99, 0, 0.5, t1));
    post(dialog.get(), new ExportEvent(0, t1, t2));
    post(dialog.get(), new QEvent(QEvent::Type(1000)));
    post(dialog.get(), new QEvent(QEvent::User));
    EXPECT_EQ(model(dialog.get())->rowCount(), 2);
    EXPECT_EQ(statusCell(dialog.get(), 1, 2), QStringLiteral("0.0 %"));
    EXPECT_EQ(widget<QDialogButtonBox>(dialog.get(), "buttonBox")->standardButtons(),
              QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
}

// How the end of an export reaches the operator, report by report: the
// dialog shows its end (Close alone, or closes when asked to) once the
// engine has ended and the last file is closed, and at once on an error,
// which it never closes away.
TEST_F(ExportDialogTest, HowAnExportEnds)
{
    using K = ControllerEvent;
    const int64_t t1 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 0)).toMSecsSinceEpoch();
    const int64_t t2 = QDateTime(QDate(2023, 6, 1), QTime(9, 0, 40)).toMSecsSinceEpoch();
    const QString noData = zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE");
    const QString complete = zkTranslation("MSGI_COMPLETE");
    const QString error = zkTranslation("MSGE_KALMIX_1000002");
    const QString endTime = QStringLiteral("01.06.2023 09:00:40");
    struct Report {
        uint32_t kind;
        int64_t time;
    };
    struct Row {
        QString state;
        QString to;
    };
    const struct {
        const char *name;
        bool closeAfterFinish;
        std::vector<Report> reports;
        size_t endsAt;  // index of the report after which the end shows
        bool closes;
        std::vector<Row> rows;
    } cases[] = {
        {"nothing in the period", false, {{K::Finished, -1}}, 0, false, {{noData, {}}}},
        {"nothing in the period, close asked", true, {{K::Finished, -1}}, 0, true, {{noData, {}}}},
        {"the last file closes after the end",
         false,
         {{K::FileStarted, t1}, {K::Progress, -1}, {K::Finished, -1}, {K::FileClosed, t2}},
         3,
         false,
         {{complete, endTime}}},
        {"the last file closes after the end, close asked",
         true,
         {{K::FileStarted, t1}, {K::Finished, -1}, {K::FileClosed, t2}},
         2,
         true,
         {{complete, endTime}}},
        {"an error before any file", true, {{K::Error, -1}}, 0, false, {{error, {}}}},
        {"an error before any file, then the end", true, {{K::Error, -1}, {K::Finished, -1}}, 0, false,
         {{error, {}}}},
        {"an error while writing; the failed file closes after it",
         true,
         {{K::FileStarted, t1}, {K::Error, -1}, {K::FileClosed, t2}, {K::Finished, -1}},
         1,
         false,
         {{error, endTime}}},
        {"a file that cannot be opened after a finished one",
         true,
         {{K::FileStarted, t1}, {K::FileClosed, t2}, {K::Error, -1}},
         2,
         false,
         {{error, endTime}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto dialog = makeDialog();
        dialog->show();
        auto *box = widget<QDialogButtonBox>(dialog.get(), "buttonBox");
        auto *closeAfterFinish = widget<QCheckBox>(dialog.get(), "closeAfterFinish");
        closeAfterFinish->setChecked(c.closeAfterFinish);
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        QSignalSpy resets(model(dialog.get()), &QAbstractItemModel::modelReset);
        for (size_t i = 0; i < c.reports.size(); ++i) {
            const Report &r = c.reports[i];
            post(dialog.get(), new ControllerEvent(r.kind, r.kind == K::Error ? kWriteErrorCode : 0,
                                                   r.kind == K::Progress ? 0.5 : -1.0, r.time));
            SCOPED_TRACE(testing::Message() << "after report " << i);
            if (i < c.endsAt) {
                EXPECT_EQ(box->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
                EXPECT_TRUE(closeAfterFinish->isEnabled());
            } else if (c.closes) {
                EXPECT_FALSE(dialog->isVisible());
            } else {
                EXPECT_TRUE(dialog->isVisible());
                EXPECT_EQ(box->standardButtons(), QDialogButtonBox::Close);
                EXPECT_FALSE(closeAfterFinish->isEnabled());
            }
        }
        // The end shows once; an end report after an error changes nothing.
        EXPECT_EQ(finished.count(), c.closes ? 1 : 0);
        EXPECT_EQ(resets.count(), c.rows.front().state == noData ? 1 : 0);
        ASSERT_EQ(model(dialog.get())->rowCount(), int(c.rows.size()));
        const int stateColumn = model(dialog.get())->columnCount() - 1;
        for (size_t row = 0; row < c.rows.size(); ++row) {
            EXPECT_EQ(statusCell(dialog.get(), int(row), stateColumn), c.rows[row].state);
            if (stateColumn > 0) {
                EXPECT_EQ(statusCell(dialog.get(), int(row), 1), c.rows[row].to);
            }
        }
        if (!c.closes) {
            box->button(QDialogButtonBox::Close)->click();
            EXPECT_FALSE(dialog->isVisible());
            EXPECT_EQ(dialog->result(), int(QDialog::Rejected));
        }
    }
}

TEST_F(ExportDialogTest, SourceWithoutReaderCannotStart)
{
    bounds->hasReader = false;
    auto dialog = makeDialog();
    dialog->show();
    startExport(dialog.get());
    EXPECT_EQ(widget<QStackedWidget>(dialog.get(), "stackedWidget")->currentIndex(), 1);
    ASSERT_EQ(model(dialog.get())->rowCount(), 1);
    EXPECT_EQ(statusCell(dialog.get(), 0, 0), QString());
    EXPECT_EQ(statusCell(dialog.get(), 0, 2), zkTranslation("MSGE_KALMIX_1000002"));
    EXPECT_EQ(widget<QDialogButtonBox>(dialog.get(), "buttonBox")->standardButtons(), QDialogButtonBox::Close);
    EXPECT_TRUE(dialog->isVisible());
    // Nothing was started.
    EXPECT_EQ(services.archivePanel->exportsStarted(), 0);

    // An export that cannot start is an error: it stays to be read.
    auto closing = makeDialog();
    closing->show();
    widget<QCheckBox>(closing.get(), "closeAfterFinish")->setChecked(true);
    startExport(closing.get());
    EXPECT_TRUE(closing->isVisible());
    EXPECT_EQ(widget<QDialogButtonBox>(closing.get(), "buttonBox")->standardButtons(), QDialogButtonBox::Close);
}

TEST_F(ExportDialogTest, EmptyArchiveRunsTheEngineToItsEnd)
{
    // The reader has no fragment index: the engine reports Finished at once.
    bounds->hasIndex = false;
    auto dialog = makeDialog();
    dialog->show();
    startExport(dialog.get());
    EXPECT_EQ(widget<QStackedWidget>(dialog.get(), "stackedWidget")->currentIndex(), 1);
    EXPECT_FALSE(okButton(dialog.get())->isEnabled());
    EXPECT_EQ(services.archivePanel->exportsStarted(), 1);
    auto *box = widget<QDialogButtonBox>(dialog.get(), "buttonBox");
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->standardButtons() == QDialogButtonBox::Close; }, 10000));
    EXPECT_EQ(statusCell(dialog.get(), 0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
    dialog.reset();  // joins the worker thread
}

TEST_F(ExportDialogTest, ExportStartsWithoutArchivePanel)
{
    services.unpublish(&manager);
    bounds->hasIndex = false;
    auto dialog = makeDialog();
    dialog->show();
    widget<QCheckBox>(dialog.get(), "closeAfterFinish")->setChecked(true);
    startExport(dialog.get());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog->isVisible(); }, 10000));
    EXPECT_EQ(services.archivePanel->exportsStarted(), 0);
}

}  // namespace
