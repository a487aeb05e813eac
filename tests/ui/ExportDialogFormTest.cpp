// The dialog's form as built by its setup: widget tree, object names,
// properties, the texts as keys, and the button box's wiring.
#include "ui_ExportDialog.h"

#include <QDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class ExportDialogFormTest : public testing::Test {
protected:
    void SetUp() override { form.setupUi(&dialog); }

    QDialog dialog;
    Ui::ExportDialog form;
};

template <class W>
W *child(QObject *parent, const char *name)
{
    return parent->findChild<W *>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

TEST_F(ExportDialogFormTest, WidgetTreeAndNames)
{
    EXPECT_EQ(dialog.objectName(), QStringLiteral("ExportDialog"));
    EXPECT_EQ(dialog.size(), QSize(460, 284));
    EXPECT_EQ(dialog.layout(), form.verticalLayout_2);
    EXPECT_EQ(child<QStackedWidget>(&dialog, "stackedWidget"), form.stackedWidget);
    EXPECT_EQ(child<QDialogButtonBox>(&dialog, "buttonBox"), form.buttonBox);

    ASSERT_EQ(form.stackedWidget->count(), 2);
    EXPECT_EQ(form.stackedWidget->widget(0), form.page);
    EXPECT_EQ(form.stackedWidget->widget(1), form.page_2);
    EXPECT_EQ(form.page->objectName(), QStringLiteral("page"));
    EXPECT_EQ(form.page_2->objectName(), QStringLiteral("page_2"));

    // Settings page: the grid row, the radio buttons, the date-time group, the limitation.
    EXPECT_EQ(form.page->layout(), form.verticalLayout);
    ASSERT_EQ(form.verticalLayout->count(), 8);
    EXPECT_EQ(form.verticalLayout->itemAt(0)->layout(), form.gridLayout);
    EXPECT_EQ(form.verticalLayout->itemAt(1)->widget(), form.radioButtonAll);
    EXPECT_EQ(form.verticalLayout->itemAt(2)->widget(), form.radioButtonYesterday);
    EXPECT_EQ(form.verticalLayout->itemAt(3)->widget(), form.radioButtonRange);
    EXPECT_EQ(form.verticalLayout->itemAt(4)->widget(), form.dateTime);
    EXPECT_EQ(form.verticalLayout->itemAt(5)->widget(), form.checkBoxLimitation);
    EXPECT_EQ(form.verticalLayout->itemAt(6)->widget(), form.spinBoxLimitation);
    EXPECT_EQ(form.verticalLayout->itemAt(7)->spacerItem(), form.verticalSpacer);
    for (QWidget *w : {static_cast<QWidget *>(form.label), static_cast<QWidget *>(form.dirNameEdit),
                       static_cast<QWidget *>(form.toolButton), static_cast<QWidget *>(form.radioButtonAll),
                       static_cast<QWidget *>(form.dateTime), static_cast<QWidget *>(form.checkBoxLimitation),
                       static_cast<QWidget *>(form.spinBoxLimitation)})
        EXPECT_EQ(w->parentWidget(), form.page) << w->objectName().toStdString();

    EXPECT_EQ(form.dateTime->layout(), form.gridLayout_2);
    for (QWidget *w : {static_cast<QWidget *>(form.label_2), static_cast<QWidget *>(form.dateTimeFrom),
                       static_cast<QWidget *>(form.label_3), static_cast<QWidget *>(form.dateTimeTo)})
        EXPECT_EQ(w->parentWidget(), form.dateTime) << w->objectName().toStdString();

    // Progress page.
    EXPECT_EQ(form.page_2->layout(), form.verticalLayout_3);
    ASSERT_EQ(form.verticalLayout_3->count(), 2);
    EXPECT_EQ(form.verticalLayout_3->itemAt(0)->widget(), form.statusView);
    EXPECT_EQ(form.verticalLayout_3->itemAt(1)->widget(), form.closeAfterFinish);

    // Every widget and layout carries its member's name.
    const char *names[] = {"verticalLayout_2", "stackedWidget", "page", "verticalLayout", "gridLayout", "label",
                           "dirNameEdit", "toolButton", "radioButtonAll", "radioButtonYesterday",
                           "radioButtonRange", "dateTime", "gridLayout_2", "label_2", "dateTimeFrom", "label_3",
                           "dateTimeTo", "checkBoxLimitation", "spinBoxLimitation", "page_2", "verticalLayout_3",
                           "statusView", "closeAfterFinish", "buttonBox"};
    for (const char *name : names)
        EXPECT_NE(dialog.findChild<QObject *>(QString::fromLatin1(name)), nullptr) << name;
}

TEST_F(ExportDialogFormTest, Properties)
{
    EXPECT_TRUE(form.dirNameEdit->isReadOnly());
    EXPECT_FALSE(form.spinBoxLimitation->isEnabled());
    EXPECT_EQ(form.spinBoxLimitation->minimum(), 0);
    EXPECT_EQ(form.spinBoxLimitation->maximum(), 1024);
    EXPECT_EQ(form.spinBoxLimitation->singleStep(), 5);
    EXPECT_EQ(form.spinBoxLimitation->value(), 0);
    EXPECT_EQ(form.spinBoxLimitation->suffix(), QString());
    form.spinBoxLimitation->setEnabled(true);
    form.spinBoxLimitation->stepUp();
    EXPECT_EQ(form.spinBoxLimitation->value(), 5);
    form.spinBoxLimitation->setValue(2000);
    EXPECT_EQ(form.spinBoxLimitation->value(), 1024);

    for (QDateTimeEdit *edit : {form.dateTimeFrom, form.dateTimeTo}) {
        // The format shows 24-hour times and is what the editor parses.
        EXPECT_EQ(edit->displayFormat(), QStringLiteral("dd.MM.yyyy HH:mm:ss"));
        edit->setDateTime(QDateTime(QDate(2024, 2, 29), QTime(21, 5, 7)));
        EXPECT_EQ(edit->text(), QStringLiteral("29.02.2024 21:05:07"));
        EXPECT_TRUE(edit->calendarPopup());
    }
    EXPECT_EQ(form.buttonBox->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    EXPECT_EQ(form.stackedWidget->currentIndex(), 0);
    for (QAbstractButton *b : {static_cast<QAbstractButton *>(form.radioButtonAll),
                               static_cast<QAbstractButton *>(form.radioButtonYesterday),
                               static_cast<QAbstractButton *>(form.radioButtonRange),
                               static_cast<QAbstractButton *>(form.checkBoxLimitation),
                               static_cast<QAbstractButton *>(form.closeAfterFinish)})
        EXPECT_FALSE(b->isChecked()) << b->objectName().toStdString();

    // The radio buttons exclude each other.
    form.radioButtonAll->click();
    form.radioButtonRange->click();
    EXPECT_FALSE(form.radioButtonAll->isChecked());
    EXPECT_TRUE(form.radioButtonRange->isChecked());
}

TEST_F(ExportDialogFormTest, TextsAreKeys)
{
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("MSGS_EXPORT_ARCHIVE"));
    EXPECT_EQ(form.label->text(), QStringLiteral("MSGS_TARGET_DIR"));
    EXPECT_EQ(form.toolButton->text(), QStringLiteral("..."));
    EXPECT_EQ(form.radioButtonAll->text(), QStringLiteral("MSGS_EXPORT_ALL"));
    EXPECT_EQ(form.radioButtonYesterday->text(), QStringLiteral("MSGS_EXPORT_YESTERDAY"));
    EXPECT_EQ(form.radioButtonRange->text(), QStringLiteral("MSGS_EXPORT_RANGE"));
    EXPECT_EQ(form.label_2->text(), QStringLiteral("MSGS_TIME_FROM"));
    EXPECT_EQ(form.label_3->text(), QStringLiteral("MSGS_TIME_TO"));
    EXPECT_EQ(form.checkBoxLimitation->text(), QStringLiteral("MSGS_FILE_SIZE_LIMITATION"));
    EXPECT_EQ(form.closeAfterFinish->text(), QStringLiteral("MSGS_CLOSE_AFTER_FINISH"));
}

TEST_F(ExportDialogFormTest, CancelClosesOkDoesNot)
{
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QSignalSpy finished(&dialog, &QDialog::finished);
    dialog.show();
    form.buttonBox->button(QDialogButtonBox::Ok)->click();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(finished.count(), 0);
    form.buttonBox->button(QDialogButtonBox::Cancel)->click();
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), int(QDialog::Rejected));
    EXPECT_EQ(accepted.count(), 0);
}

}  // namespace
