// The status list: rows mode, no-data mode, the change signals of each
// update, and the texts of headers and cells.
#include "client/runtime/Components.h"
#include "plugin/export/Events.h"
#include "plugin/host/Translation.h"
#include "plugin/ui/StatusListModel.h"
#include "plugin/ui/StatusRoles.h"

#include <QDateTime>
#include <QSignalSpy>
#include <gtest/gtest.h>

namespace {

class StatusListModelTest : public testing::Test {
protected:
    void SetUp() override { velt::registerTranslator(); }

    QString cell(int row, int column) const { return model.data(model.index(row, column)).toString(); }
    QString header(int section) const { return model.headerData(section, Qt::Horizontal).toString(); }

    // Every kind of change notification the model could send.
    struct Spies {
        explicit Spies(StatusListModel *m)
            : inserted(m, &QAbstractItemModel::rowsInserted),
              changed(m, &QAbstractItemModel::dataChanged),
              reset(m, &QAbstractItemModel::modelReset),
              layout(m, &QAbstractItemModel::layoutChanged),
              removed(m, &QAbstractItemModel::rowsRemoved)
        {
        }
        int total() const { return inserted.count() + changed.count() + reset.count() + layout.count() + removed.count(); }
        QSignalSpy inserted, changed, reset, layout, removed;
    };

    StatusListModel model{nullptr};
};

int64_t localMs(int year, int month, int day, int h, int m, int s, int ms)
{
    return QDateTime(QDate(year, month, day), QTime(h, m, s, ms)).toMSecsSinceEpoch();
}

TEST_F(StatusListModelTest, TranslatorIsActive)
{
    // The texts below are compared with translations; make sure they differ from the keys.
    EXPECT_NE(zkTranslation("MSGS_STATUS"), QStringLiteral("MSGS_STATUS"));
    EXPECT_NE(zkTranslation("MSGE_KALMIX_1000002"), QStringLiteral("MSGE_KALMIX_1000002"));
}

TEST_F(StatusListModelTest, NewRowsAreInsertedOneAtATimeAtTheEnd)
{
    Spies spies(&model);
    model.addRow(localMs(2024, 3, 5, 7, 8, 9, 456));
    model.addRow(localMs(2024, 3, 5, 17, 0, 0, 0));
    ASSERT_EQ(spies.inserted.count(), 2);
    EXPECT_EQ(spies.total(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(spies.inserted.at(i).at(0).value<QModelIndex>().isValid());
        EXPECT_EQ(spies.inserted.at(i).at(1).toInt(), i);
        EXPECT_EQ(spies.inserted.at(i).at(2).toInt(), i);
    }
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.columnCount(), 3);
    // 24-hour local time, seconds without milliseconds.
    EXPECT_EQ(cell(0, 0), QStringLiteral("05.03.2024 07:08:09"));
    EXPECT_EQ(cell(1, 0), QStringLiteral("05.03.2024 17:00:00"));
    EXPECT_TRUE(model.data(model.index(0, 1)).isValid());
    EXPECT_EQ(cell(0, 1), QString());
    EXPECT_EQ(cell(0, 2), QStringLiteral("0.0 %"));
}

TEST_F(StatusListModelTest, ProgressHasOneDecimalAndNoPadding)
{
    model.addRow(0);
    Spies spies(&model);
    const std::pair<double, const char *> cases[] = {
        {0.4252, "42.5 %"}, {1.0, "100.0 %"}, {0.05, "5.0 %"}, {0.99999, "100.0 %"}, {0.0004, "0.0 %"}};
    for (const auto &c : cases) {
        model.setProgress(c.first);
        EXPECT_EQ(cell(0, 2), QString::fromLatin1(c.second)) << c.first;
    }
    ASSERT_EQ(spies.changed.count(), 5);
    EXPECT_EQ(spies.total(), 5);
    const auto from = spies.changed.at(0).at(0).value<QModelIndex>();
    const auto to = spies.changed.at(0).at(1).value<QModelIndex>();
    EXPECT_EQ(std::make_pair(from.row(), from.column()), std::make_pair(0, 2));
    EXPECT_EQ(std::make_pair(to.row(), to.column()), std::make_pair(0, 2));
}

TEST_F(StatusListModelTest, UpdatesTouchOnlyTheLastRow)
{
    model.addRow(localMs(2024, 1, 1, 0, 0, 0, 0));
    model.addRow(localMs(2024, 1, 1, 1, 0, 0, 0));
    Spies spies(&model);

    model.setTo(localMs(2024, 1, 1, 23, 59, 59, 999));
    ASSERT_EQ(spies.changed.count(), 1);
    const auto from = spies.changed.at(0).at(0).value<QModelIndex>();
    const auto to = spies.changed.at(0).at(1).value<QModelIndex>();
    EXPECT_EQ(std::make_pair(from.row(), from.column()), std::make_pair(1, 1));
    EXPECT_EQ(std::make_pair(to.row(), to.column()), std::make_pair(1, 2));
    EXPECT_EQ(cell(1, 1), QStringLiteral("01.01.2024 23:59:59"));
    EXPECT_EQ(cell(1, 2), zkTranslation("MSGI_COMPLETE"));

    model.setError(kWriteErrorCode);
    ASSERT_EQ(spies.changed.count(), 2);
    const auto errorFrom = spies.changed.at(1).at(0).value<QModelIndex>();
    const auto errorTo = spies.changed.at(1).at(1).value<QModelIndex>();
    EXPECT_EQ(std::make_pair(errorFrom.row(), errorFrom.column()), std::make_pair(1, 2));
    EXPECT_EQ(std::make_pair(errorTo.row(), errorTo.column()), std::make_pair(1, 2));
    EXPECT_EQ(spies.total(), 2);

    // The first row is still open.
    EXPECT_EQ(cell(0, 1), QString());
    EXPECT_EQ(cell(0, 2), QStringLiteral("0.0 %"));
}

TEST_F(StatusListModelTest, ErrorAndCloseOrder)
{
    // setTo clears an earlier error: a file that failed a write but was closed reads as complete.
    model.addRow(1000);
    model.setError(kWriteErrorCode);
    EXPECT_EQ(cell(0, 2), zkTranslation("MSGE_KALMIX_1000002"));
    model.setTo(2000);
    EXPECT_EQ(cell(0, 2), zkTranslation("MSGI_COMPLETE"));

    // An error after the close stays.
    model.addRow(3000);
    model.setTo(4000);
    model.setError(kWriteErrorCode);
    EXPECT_EQ(cell(1, 2), zkTranslation("MSGE_KALMIX_1000002"));

    // Codes are shown through their key, unsigned; unknown keys show as the key.
    model.setError(42);
    EXPECT_EQ(cell(1, 2), QStringLiteral("MSGE_KALMIX_42"));
    model.setError(4000000000u);
    EXPECT_EQ(cell(1, 2), QStringLiteral("MSGE_KALMIX_4000000000"));

    // Progress on a finished row is kept but not shown.
    model.setProgress(0.5);
    EXPECT_EQ(cell(1, 2), QStringLiteral("MSGE_KALMIX_4000000000"));
}

TEST_F(StatusListModelTest, UpdatesWithoutRowsDoNothing)
{
    Spies spies(&model);
    model.setTo(1000);
    model.setError(kWriteErrorCode);
    model.setProgress(0.5);
    EXPECT_EQ(spies.total(), 0);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 3);
    EXPECT_EQ(header(0), zkTranslation("MSGS_TIME_FROM"));
}

TEST_F(StatusListModelTest, FinishWithoutRowsShowsTheNoDataCell)
{
    Spies spies(&model);
    QSignalSpy aboutToReset(&model, &QAbstractItemModel::modelAboutToBeReset);
    model.finish();
    EXPECT_EQ(aboutToReset.count(), 1);
    EXPECT_EQ(spies.reset.count(), 1);
    EXPECT_EQ(spies.total(), 1);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.columnCount(), 1);
    EXPECT_EQ(cell(0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
    EXPECT_FALSE(model.index(0, 1).isValid());
    EXPECT_EQ(header(0), zkTranslation("MSGS_STATUS"));
    EXPECT_EQ(header(1), zkTranslation("MSGS_TIME_TO"));
    EXPECT_EQ(header(2), zkTranslation("MSGS_STATUS"));

    // Updates without rows still do nothing; nothing leaves the no-data mode.
    model.setTo(5);
    model.setProgress(0.5);
    model.setError(kWriteErrorCode);
    EXPECT_EQ(spies.total(), 1);
    model.finish();
    EXPECT_EQ(model.columnCount(), 1);
    EXPECT_EQ(cell(0, 0), zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE"));
}

TEST_F(StatusListModelTest, FinishAfterRowsChangesNothing)
{
    model.addRow(1000);
    model.setTo(2000);
    Spies spies(&model);
    model.finish();
    EXPECT_EQ(spies.total(), 0);
    EXPECT_EQ(model.columnCount(), 3);
    EXPECT_EQ(header(0), zkTranslation("MSGS_TIME_FROM"));
    EXPECT_EQ(header(1), zkTranslation("MSGS_TIME_TO"));
    EXPECT_EQ(header(2), zkTranslation("MSGS_STATUS"));
    EXPECT_EQ(cell(0, 2), zkTranslation("MSGI_COMPLETE"));
}

TEST_F(StatusListModelTest, FailedRowIsOneFinishedRowWithoutTimes)
{
    Spies spies(&model);
    model.addFailedRow(kWriteErrorCode);
    ASSERT_EQ(spies.inserted.count(), 1);
    EXPECT_EQ(spies.inserted.at(0).at(1).toInt(), 0);
    EXPECT_EQ(spies.inserted.at(0).at(2).toInt(), 0);
    EXPECT_EQ(spies.total(), 1);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(cell(0, 0), QString());
    EXPECT_EQ(cell(0, 1), QString());
    EXPECT_EQ(cell(0, 2), zkTranslation("MSGE_KALMIX_1000002"));
    // No file is open on it, and it counts as a row: the end of the export keeps it.
    EXPECT_FALSE(model.lastFileOpen());
    model.finish();
    EXPECT_EQ(spies.total(), 1);
    EXPECT_EQ(model.columnCount(), 3);
}

// What a program following the export reads instead of the texts.
TEST_F(StatusListModelTest, RowsGiveTheirValuesUnderTheStatusRoles)
{
    using namespace statusrole;
    const auto valueAt = [&](int row, int column, Role role) { return model.data(model.index(row, column), role); };
    EXPECT_FALSE(model.lastFileOpen());

    model.addRow(1000);
    model.setProgress(0.25);
    EXPECT_TRUE(model.lastFileOpen());
    model.setTo(2000);
    EXPECT_FALSE(model.lastFileOpen());
    model.addRow(3000);
    model.setProgress(0.75);
    model.addRow(5000);
    model.setError(kWriteErrorCode);
    // An error does not close the file: its end time comes with the close.
    EXPECT_TRUE(model.lastFileOpen());
    model.addFailedRow(7);

    const struct {
        qlonglong from, to;
        double progress;
        uint code;
        int state;
    } rows[] = {{1000, 2000, 0.25, 0, Complete},
                {3000, -1, 0.75, 0, Writing},
                {5000, -1, 0.0, kWriteErrorCode, Failed},
                {-1, -1, 0.0, 7, Failed}};
    ASSERT_EQ(model.rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        // Every cell of a row answers with the row's values.
        for (int column = 0; column < 3; ++column) {
            SCOPED_TRACE(testing::Message() << "row " << row << " column " << column);
            EXPECT_EQ(valueAt(row, column, From).toLongLong(), rows[row].from);
            EXPECT_EQ(valueAt(row, column, To).toLongLong(), rows[row].to);
            EXPECT_EQ(valueAt(row, column, Progress).toDouble(), rows[row].progress);
            EXPECT_EQ(valueAt(row, column, ErrorCode).toUInt(), rows[row].code);
            EXPECT_EQ(valueAt(row, column, State).toInt(), rows[row].state);
        }
    }
    EXPECT_FALSE(model.data(model.index(0, 3), State).isValid());

    StatusListModel empty(nullptr);
    empty.finish();
    EXPECT_EQ(empty.data(empty.index(0, 0), State).toInt(), int(NoData));
    EXPECT_FALSE(empty.data(empty.index(0, 0), From).isValid());
    EXPECT_FALSE(empty.lastFileOpen());
}

TEST_F(StatusListModelTest, OtherRolesSectionsAndIndexesAreInvalid)
{
    model.addRow(1000);
    const QModelIndex first = model.index(0, 0);
    for (int role : {int(Qt::EditRole), int(Qt::ToolTipRole), int(Qt::DecorationRole), int(Qt::UserRole)}) {
        EXPECT_FALSE(model.data(first, role).isValid()) << role;
        EXPECT_FALSE(model.headerData(0, Qt::Horizontal, role).isValid()) << role;
    }
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
    EXPECT_FALSE(model.headerData(3, Qt::Horizontal).isValid());
    EXPECT_FALSE(model.headerData(-1, Qt::Horizontal).isValid());
    EXPECT_FALSE(model.data(QModelIndex()).isValid());
    EXPECT_FALSE(model.index(1, 0).isValid());
    EXPECT_EQ(model.rowCount(first), 0);
    EXPECT_EQ(model.columnCount(first), 0);
    EXPECT_EQ(model.flags(first), Qt::ItemIsEnabled);
    EXPECT_EQ(model.flags(QModelIndex()), Qt::ItemIsEnabled);
}

}  // namespace
