#include "plugin/ui/StatusListModel.h"

#include "plugin/host/Translation.h"
#include "plugin/ui/StatusRoles.h"

#include <QDateTime>
#include <QLocale>

namespace {
const char kTimeFormat[] = "dd.MM.yyyy hh:mm:ss";
// Two files of one second differ only in their milliseconds.
const char kExactTimeFormat[] = "dd.MM.yyyy hh:mm:ss.zzz";

QString localTime(int64_t timeMs, const char *format)
{
    return QDateTime::fromMSecsSinceEpoch(timeMs).toString(QString::fromLatin1(format));
}
}  // namespace

QString StatusListModel::labelled(const char *labelKey, const QString &value)
{
    return zkTranslation(labelKey) + QLatin1Char(' ') + value;
}

StatusListModel::StatusListModel(QObject *parent) : QAbstractListModel(parent), _noData(false) {}

int StatusListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return _noData ? 1 : int(_rows.size());
}

int StatusListModel::columnCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return _noData ? 1 : 3;
}

// Selectable, so that the operator can mark the row of a file while reading it.
Qt::ItemFlags StatusListModel::flags(const QModelIndex &) const { return Qt::ItemIsEnabled | Qt::ItemIsSelectable; }

QVariant StatusListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return zkTranslation(_noData ? "MSGS_STATUS" : "MSGS_TIME_FROM");
    case 1:
        return zkTranslation("MSGS_TIME_TO");
    case 2:
        return zkTranslation("MSGS_STATUS");
    default:
        return QVariant();
    }
}

QVariant StatusListModel::data(const QModelIndex &index, int role) const
{
    const bool valueRole = role >= statusrole::From && role <= statusrole::Reason;
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole && !valueRole) || !index.isValid())
        return QVariant();
    if (_noData) {
        if (index.row() != 0 || index.column() != 0)
            return QVariant();
        if (role == statusrole::State)
            return int(statusrole::NoData);
        if (role == Qt::DisplayRole)
            return zkTranslation("MSGI_NO_DATA_IN_SPECIFIED_TIME_RANGE");
        return QVariant();
    }
    if (size_t(index.row()) >= _rows.size() || index.column() > 2)
        return QVariant();
    const StatusRow &row = _rows[size_t(index.row())];
    if (valueRole)
        return rowValue(row, role);
    if (role == Qt::ToolTipRole)
        return row.finished ? QVariant(toolTip(row)) : QVariant();
    switch (index.column()) {
    case 0:
        return timeText(row.from);
    case 1:
        return timeText(row.to);
    case 2:
        return stateText(row);
    default:
        return QVariant();
    }
}

QString StatusListModel::timeText(int64_t timeMs) const
{
    if (timeMs == -1)
        return QString();
    return localTime(timeMs, kTimeFormat);
}

QString StatusListModel::errorText(uint32_t code, const QString &reason)
{
    const QString message = zkTranslation(QStringLiteral("MSGE_KALMIX_%1").arg(qulonglong(code), 0, 10));
    return reason.isEmpty() ? message : zkTranslation("MSGE_ERROR_REASON").arg(message, reason);
}

QString StatusListModel::sizeText(int64_t bytes)
{
    const QLocale locale;
    return zkTranslation("MSGI_SIZE_BYTES")
        .arg(locale.formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat), QString::number(bytes));
}

QString StatusListModel::toolTip(const StatusRow &row) const
{
    QStringList lines;
    if (row.code != 0 || !row.file.complete)
        lines << stateText(row);
    if (!row.file.name.isEmpty())
        lines << labelled("MSGS_FILE", row.file.name);
    if (row.file.sizeBytes >= 0)
        lines << labelled("MSGS_SIZE", sizeText(row.file.sizeBytes));
    if (!row.file.sha256.isEmpty())
        lines << labelled("MSGS_SHA256", QString::fromLatin1(row.file.sha256));
    if (row.from != -1)
        lines << labelled("MSGS_FIRST_BLOCK", localTime(row.from, kExactTimeFormat));
    if (row.to != -1)
        lines << labelled("MSGS_LAST_BLOCK", localTime(row.to, kExactTimeFormat));
    return lines.join(QLatin1Char('\n'));
}

QString StatusListModel::stateText(const StatusRow &row) const
{
    if (!row.finished)
        return QStringLiteral("%1 %").arg(row.progress * 100.0, 0, 'f', 1, QLatin1Char(' '));
    if (row.code != 0)
        return errorText(row.code, row.reason);
    return zkTranslation(row.file.complete ? "MSGI_COMPLETE" : "MSGE_FILE_INCOMPLETE");
}

QVariant StatusListModel::rowValue(const StatusRow &row, int role) const
{
    switch (role) {
    case statusrole::From:
        return qlonglong(row.from);
    case statusrole::To:
        return qlonglong(row.to);
    case statusrole::Progress:
        return row.progress;
    case statusrole::ErrorCode:
        return uint(row.code);
    case statusrole::State:
        if (!row.finished)
            return int(statusrole::Writing);
        return int(row.code != 0 || !row.file.complete ? statusrole::Failed : statusrole::Complete);
    case statusrole::FileName:
        return row.file.name;
    case statusrole::SizeBytes:
        return qlonglong(row.file.sizeBytes);
    case statusrole::Sha256:
        return QString::fromLatin1(row.file.sha256);
    case statusrole::Reason:
        return row.reason;
    default:
        return QVariant();
    }
}

void StatusListModel::appendRow(const StatusRow &row)
{
    const int index = int(_rows.size());
    beginInsertRows(QModelIndex(), index, index);
    _rows.push_back(row);
    endInsertRows();
}

void StatusListModel::addRow(int64_t fromMs) { appendRow(StatusRow{fromMs, -1, 0.0, 0, false, {}, {}}); }

void StatusListModel::addFailedRow() { appendRow(StatusRow{-1, -1, 0.0, 0, true, {}, {}}); }

bool StatusListModel::lastFileOpen() const
{
    return !_rows.empty() && _rows.back().from != -1 && _rows.back().to == -1;
}

void StatusListModel::lastRowChanged(int firstColumn, int lastColumn)
{
    const int row = int(_rows.size()) - 1;
    emit dataChanged(index(row, firstColumn), index(row, lastColumn));
}

void StatusListModel::setTo(int64_t toMs, const FileFacts &file)
{
    if (_rows.empty())
        return;
    StatusRow &row = _rows.back();
    row.to = toMs;
    row.code = 0;
    row.finished = true;
    row.file = file;
    lastRowChanged(0, 2);
}

void StatusListModel::setError(uint32_t code, const QString &reason)
{
    if (_rows.empty())
        return;
    StatusRow &row = _rows.back();
    row.code = code;
    row.reason = reason;
    row.finished = true;
    lastRowChanged(2, 2);
}

void StatusListModel::setProgress(double fraction)
{
    if (_rows.empty())
        return;
    _rows.back().progress = fraction;
    lastRowChanged(2, 2);
}

void StatusListModel::finish()
{
    if (!_rows.empty())
        return;
    beginResetModel();
    _noData = true;
    endResetModel();
}
