// The export dialog's behaviour: texts, enabling rule, periods, archive
// bounds, directory chooser, reports from the engine and the end of an
// export, with the real engine behind OK where the archive lets it end at
// once.
#include "client/ui/Services.h"
#include "client/velt/Components.h"
#include "export/Events.h"
#include "host/Translation.h"
#include "tests/support/LocalZone.h"
#include "tests/ui/FakeSource.h"
#include "ui/ExportDialog.h"
#include "ui/StatusListModel.h"

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
    post(dialog.get(), new ControllerEvent(ControllerEvent::Error, kWriteErrorCode, -1.0, -1));
    EXPECT_EQ(statusCell(dialog.get(), 1, 2), zkTranslation("MSGE_KALMIX_1000002"));

    // Unknown kinds, other events of the same type and other custom events change nothing.
    post(dialog.get(), new ControllerEvent(5, 0, 0.5, t1));
    post(dialog.get(), new ControllerEvent(99, 0, 0.5, t1));
    post(dialog.get(), new ExportEvent(0, t1, t2));
    post(dialog.get(), new QEvent(QEvent::Type(1000)));
    post(dialog.get(), new QEvent(QEvent::User));
    EXPECT_EQ(model(dialog.get())->rowCount(), 2);
    EXPECT_EQ(statusCell(dialog.get(), 1, 2), zkTranslation("MSGE_KALMIX_1000002"));
    EXPECT_EQ(widget<QDialogButtonBox>(dialog.get(), "buttonBox")->standardButtons(),
              QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
}

TEST_F(ExportDialogTest, FinishedLeavesOnlyClose)
{
    auto dialog = makeDialog();
    dialog->show();
    post(dialog.get(), new ControllerEvent(ControllerEvent::Finished, 0, -1.0, -1));
    EXPECT_TRUE(dialog->isVisible());
    auto *box = widget<QDialogButtonBox>(dialog.get(), "buttonBox");
    EXPECT_EQ(box->standardButtons(), QDialogButtonBox::Close);
    EXPECT_FALSE(widget<QCheckBox>(dialog.get(), "closeAfterFinish")->isEnabled());
    EXPECT_EQ(statusCell(dialog.get(), 0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
    box->button(QDialogButtonBox::Close)->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), int(QDialog::Rejected));
}

TEST_F(ExportDialogTest, FinishedClosesWhenAsked)
{
    auto dialog = makeDialog();
    dialog->show();
    post(dialog.get(), new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, 1000));
    widget<QCheckBox>(dialog.get(), "closeAfterFinish")->setChecked(true);
    post(dialog.get(), new ControllerEvent(ControllerEvent::Finished, 0, -1.0, -1));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), int(QDialog::Rejected));
    // The rows stay as they were: no "no data" line replaces them.
    ASSERT_EQ(model(dialog.get())->rowCount(), 1);
    EXPECT_EQ(model(dialog.get())->columnCount(), 3);
    EXPECT_NE(statusCell(dialog.get(), 0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
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

    auto closing = makeDialog();
    closing->show();
    widget<QCheckBox>(closing.get(), "closeAfterFinish")->setChecked(true);
    startExport(closing.get());
    EXPECT_FALSE(closing->isVisible());
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
