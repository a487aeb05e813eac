#include "client/app/ExportScript.h"

#include "plugin/ui/StatusRoles.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTreeView>
#include <algorithm>
#include <optional>

namespace clientapp {

namespace {

constexpr int kPollMs = 50;

// A JSON file's object; empty when it cannot be read or parsed.
QJsonObject readJson(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// Bytes of the files this process is writing: the plug-in writes each under
// a private name "tmpchunk-<pid>-…" until it is finished.
int64_t bytesBeingWritten(const QString &dir)
{
    const QString mine = QStringLiteral("tmpchunk-%1-*.mkv.part").arg(QCoreApplication::applicationPid());
    int64_t bytes = 0;
    for (const QFileInfo &info : QDir(dir).entryInfoList({mine}, QDir::Files))
        bytes += info.size();
    return bytes;
}

template <class Widget>
Widget *childOf(QObject *parent, const char *name, QStringList *missing)
{
    Widget *widget = parent->findChild<Widget *>(QLatin1String(name));
    if (!widget)
        missing->append(QLatin1String(name));
    return widget;
}

QVariant value(const QAbstractItemModel *model, int row, statusrole::Role role)
{
    return model->data(model->index(row, 0), role);
}

// The text the operator reads in a row's state cell.
QString stateText(const QAbstractItemModel *model, int row)
{
    return model->data(model->index(row, model->columnCount() - 1)).toString();
}

}  // namespace

ExportScript::ExportScript(const ExportOptions &options, ExportReport &report) : _options(options), _report(report)
{
    _openTimer.setSingleShot(true);
    _openTimer.setInterval(0);
    connect(&_openTimer, &QTimer::timeout, this, &ExportScript::fillDialog);
    _pollTimer.setInterval(kPollMs);
    connect(&_pollTimer, &QTimer::timeout, this, &ExportScript::poll);
}

ExportScript::Outcome ExportScript::run(QAbstractButton *button, QString *message)
{
    if (!button || !button->isEnabled()) {
        *message = QStringLiteral("the plug-in's export button is missing or disabled");
        return NotRun;
    }
    _startedAt = QDateTime::currentDateTime().addSecs(-1);
    // The click runs the dialog's modal loop; the timer fires inside it.
    _openTimer.start();
    button->click();
    _openTimer.stop();
    _pollTimer.stop();
    if (!_concluded)
        _message = QStringLiteral("the plug-in opened no export dialog");
    // Read once the dialog is gone, so after the record's last rewrite.
    const QJsonObject record = ownRecord();
    // A stop that came as the export ended: the record says how it did.
    const QString how = record.value(QStringLiteral("ended")).toObject().value(QStringLiteral("how")).toString();
    if (_outcome == Stopped && how != QLatin1String("stopped") && !how.isEmpty()) {
        _stopReason.clear();
        _message.clear();
        conclude();
    }
    const int listed = int(_reported.size());
    reportUnlistedFiles();
    // The last progress line counted files without these.
    if (int(_reported.size()) != listed)
        _report.progress(_outcome == Written ? 100.0 : _percent, int(_reported.size()), std::max(_bytesShown, _bytesInFiles));
    if (!_recordPath.isEmpty()) {
        const QJsonObject signature = record.value(QStringLiteral("signature")).toObject();
        _report.line(QStringLiteral("Record %1").arg(_recordPath));
        _report.line(signature.value(QStringLiteral("signed")).toBool()
                         ? QStringLiteral("Signed by %1 (%2)")
                               .arg(signature.value(QStringLiteral("signer")).toString(),
                                    signature.value(QStringLiteral("file")).toString())
                         : QStringLiteral("Not signed: %1").arg(signature.value(QStringLiteral("why")).toString()));
    }
    _report.finish();
    *message = _message;
    return _outcome;
}

void ExportScript::stop(const QString &why)
{
    if (!_stopReason.isEmpty() || _concluded)
        return;
    _stopReason = why;
    // Before the dialog is filled in, the export is not started at all.
    if (!_dialog || !_model)
        return;
    readRows();
    // As the dialog's own stop: the engine finishes the file it writes, and
    // the dialog stays open until it has, showing how the export ended;
    // concludeWhenEnded() closes it then.
    _dialog->reject();
}

void ExportScript::giveUp(const QString &why)
{
    _concluded = true;
    _outcome = NotRun;
    _message = why;
    if (_dialog)
        _dialog->reject();
}

void ExportScript::fillDialog()
{
    _dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
    if (!_dialog) {
        // Nothing to drive; close whatever modal window the click opened.
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        giveUp(QStringLiteral("the plug-in opened no export dialog"));
        return;
    }
    if (!fillForm())
        return;
    if (!_stopReason.isEmpty()) {
        giveUp(_stopReason);
        _outcome = Stopped;
        return;
    }
    connect(_model, &QAbstractItemModel::rowsInserted, this, &ExportScript::readRows);
    connect(_model, &QAbstractItemModel::dataChanged, this, &ExportScript::readRows);
    connect(_model, &QAbstractItemModel::modelReset, this, &ExportScript::readRows);
    // The dialog turns its buttons after it has changed its rows: looked at
    // once the change is handled, the export's end is seen at once rather
    // than at the next poll.
    connect(_model, &QAbstractItemModel::dataChanged, this, &ExportScript::concludeWhenEnded, Qt::QueuedConnection);
    connect(_model, &QAbstractItemModel::rowsInserted, this, &ExportScript::concludeWhenEnded, Qt::QueuedConnection);
    QPushButton *ok = _buttons->button(QDialogButtonBox::Ok);
    if (!ok || !ok->isEnabled()) {
        giveUp(QStringLiteral("the export dialog did not accept the folder and period"));
        return;
    }
    ok->click();
    // A folder that cannot be written is refused at OK: the settings stay,
    // with the reason beside the folder.
    auto *pages = _dialog->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    if (pages && pages->currentIndex() == 0) {
        auto *reason = _dialog->findChild<QLabel *>(QStringLiteral("folderReason"));
        giveUp(reason && !reason->text().isEmpty() ? reason->text()
                                                   : QStringLiteral("the export dialog refused the folder"));
        _outcome = ExportFailed;
        return;
    }
    _pollTimer.start();
    poll();
}

bool ExportScript::fillForm()
{
    QStringList missing;
    auto *dirName = childOf<QLineEdit>(_dialog, "dirNameEdit", &missing);
    auto *all = childOf<QRadioButton>(_dialog, "radioButtonAll", &missing);
    auto *yesterday = childOf<QRadioButton>(_dialog, "radioButtonYesterday", &missing);
    auto *range = childOf<QRadioButton>(_dialog, "radioButtonRange", &missing);
    auto *from = childOf<QDateTimeEdit>(_dialog, "dateTimeFrom", &missing);
    auto *to = childOf<QDateTimeEdit>(_dialog, "dateTimeTo", &missing);
    auto *limit = childOf<QCheckBox>(_dialog, "checkBoxLimitation", &missing);
    auto *limitMb = childOf<QSpinBox>(_dialog, "spinBoxLimitation", &missing);
    auto *timeTrack = childOf<QCheckBox>(_dialog, "checkBoxTimeTrack", &missing);
    auto *closeAfterFinish = childOf<QCheckBox>(_dialog, "closeAfterFinish", &missing);
    auto *statusView = childOf<QTreeView>(_dialog, "statusView", &missing);
    _buttons = childOf<QDialogButtonBox>(_dialog, "buttonBox", &missing);
    if (!missing.isEmpty()) {
        giveUp(QStringLiteral("the export dialog lacks %1").arg(missing.join(QStringLiteral(", "))));
        return false;
    }
    _model = statusView->model();
    if (!_model) {
        giveUp(QStringLiteral("the export dialog has no status list"));
        return false;
    }

    // The folder is typed, before a period is picked (picking one applies
    // the dialog's OK rule too).
    dirName->setText(_options.outDir);
    switch (_options.period) {
    case ExportOptions::Period::All:
        all->click();
        break;
    case ExportOptions::Period::Yesterday:
        yesterday->click();
        break;
    case ExportOptions::Period::Range:
        range->click();
        from->setDateTime(_options.from);
        to->setDateTime(_options.to);
        break;
    }
    if (_options.limitMb >= 0) {
        if (!limit->isChecked())
            limit->click();
        limitMb->setValue(_options.limitMb);
    }
    // The dialog keeps the box as it was last left: set either way.
    timeTrack->setChecked(_options.timeTrack);
    closeAfterFinish->setChecked(false);
    return true;
}

void ExportScript::readRows()
{
    if (!_model)
        return;
    // Read when a finished row needs it, once for all such rows.
    std::optional<QJsonObject> record;
    for (int row = 0; row < _model->rowCount(); ++row) {
        // Only the last row ever changes: a row whose file was announced is done.
        if (_reportedRows.contains(row))
            continue;
        switch (value(_model, row, statusrole::State).toInt()) {
        case statusrole::NoData:
            _noDataText = stateText(_model, row);
            return;
        case statusrole::Writing:
            // A new file's row starts again at 0 %.
            _percent = std::max(_percent, 100.0 * value(_model, row, statusrole::Progress).toDouble());
            continue;
        case statusrole::Failed:
            if (_rowError.isEmpty())
                _rowError = stateText(_model, row);
            continue;
        case statusrole::Complete:
            break;
        default:
            continue;
        }
        const QDateTime from = QDateTime::fromMSecsSinceEpoch(value(_model, row, statusrole::From).toLongLong());
        const QDateTime to = QDateTime::fromMSecsSinceEpoch(value(_model, row, statusrole::To).toLongLong());
        // The export's record names the file exactly; without a record (none could be made), the newest file of that name.
        if (!record)
            record = ownRecord();
        ExportedFile file;
        if (!recordedFile(*record, from.toMSecsSinceEpoch(), to.toMSecsSinceEpoch(), &file) &&
            (!record->isEmpty() || !findExportedFile(_options.outDir, from, to, &file) ||
             _reported.contains(file.path)))
            continue;
        _reported.insert(file.path);
        _reportedRows.insert(row);
        _bytesInFiles += file.sizeBytes;
        _report.file(file);
    }
}

void ExportScript::poll()
{
    if (!_dialog || _concluded)
        return;
    readRows();
    const int64_t openBytes = bytesBeingWritten(_options.outDir);
    // The open file's bytes move into a finished file by a rename the rows
    // learn of a little later; what was written never shrinks.
    _bytesShown = std::max(_bytesShown, _bytesInFiles + openBytes);
    _report.progress(_percent, int(_reported.size()), _bytesShown);
    concludeWhenEnded();
}

void ExportScript::concludeWhenEnded()
{
    // The dialog shows its Close button alone once every file is done or an
    // error ended the export.
    if (!_dialog || _concluded || !_buttons || _buttons->standardButtons() != QDialogButtonBox::Close)
        return;
    conclude();
}

void ExportScript::conclude()
{
    readRows();
    _concluded = true;
    _pollTimer.stop();
    const QJsonObject ended = ownRecord().value(QStringLiteral("ended")).toObject();
    const double unreadMs = ended.value(QStringLiteral("unreadMs")).toDouble();
    // A row that failed after it was listed is not looked at again: the
    // record says the export failed.
    if (_rowError.isEmpty() && ended.value(QStringLiteral("how")).toString() == QLatin1String("error"))
        _rowError = QStringLiteral("Error");
    if (!_stopReason.isEmpty()) {
        _outcome = Stopped;
        _message = _stopReason;
    } else if (!_rowError.isEmpty()) {
        _outcome = ExportFailed;
        _message = _rowError;
        // The record says what failed where, in the system's words.
        const QString why = ended.value(QStringLiteral("text")).toString();
        if (!why.isEmpty() && why != _rowError)
            _message += QStringLiteral(": ") + why;
    } else if (unreadMs > 0) {
        // Before "no data": a period whose recordings all could not be read
        // leaves no file, and it is not a period without recordings.
        _outcome = Unread;
        _message = QStringLiteral("%1 s of recorded time could not be read; the record's gaps say where")
                       .arg(unreadMs / 1000.0, 0, 'f', 1);
    } else if (!_noDataText.isEmpty()) {
        _outcome = NoData;
        _message = _noDataText;
    } else if (_reported.isEmpty()) {
        _outcome = ExportFailed;
        _message = QStringLiteral("the export ended without writing a file");
    } else {
        _outcome = Written;
        _report.progress(100.0, int(_reported.size()), std::max(_bytesShown, _bytesInFiles));
    }
    // Closing the dialog stops the engine and waits for its thread; the
    // dialog is destroyed after that, unwatched.
    if (_dialog)
        _dialog->reject();
}

QJsonObject ExportScript::ownRecord()
{
    // The plug-in runs in this process: its record names this process.
    if (_recordPath.isEmpty()) {
        const QFileInfoList records =
            QDir(_options.outDir).entryInfoList({QStringLiteral("export-*.json")}, QDir::Files, QDir::Name);
        for (const QFileInfo &info : records) {
            if (info.lastModified() >= _startedAt &&
                qint64(readJson(info.absoluteFilePath()).value(QStringLiteral("process")).toDouble()) ==
                    QCoreApplication::applicationPid()) {
                _recordPath = info.absoluteFilePath();
                break;
            }
        }
    }
    return _recordPath.isEmpty() ? QJsonObject() : readJson(_recordPath);
}

bool ExportScript::recordedFile(const QJsonObject &record, qint64 fromMs, qint64 toMs, ExportedFile *file)
{
    const QJsonArray files = record.value(QStringLiteral("files")).toArray();
    for (const QJsonValue &entry : files) {
        const QJsonObject object = entry.toObject();
        const auto ms = [&object](const char *key) {
            return qint64(object.value(QLatin1String(key)).toObject().value(QStringLiteral("ms")).toDouble());
        };
        const QString path = QDir(_options.outDir).absoluteFilePath(object.value(QStringLiteral("name")).toString());
        if ((fromMs < 0 || (ms("firstBlock") == fromMs && ms("lastBlock") == toMs)) && !_reported.contains(path)) {
            *file = ExportedFile{path, int64_t(object.value(QStringLiteral("sizeBytes")).toDouble()),
                                 object.value(QStringLiteral("sha256")).toString(),
                                 object.value(QStringLiteral("complete")).toBool(true)};
            return true;
        }
    }
    return false;
}

void ExportScript::reportUnlistedFiles()
{
    if (!_concluded)
        return;
    ExportedFile recorded;
    const QJsonObject record = ownRecord();
    if (!record.isEmpty()) {
        while (recordedFile(record, -1, -1, &recorded)) {
            _reported.insert(recorded.path);
            _bytesInFiles += recorded.sizeBytes;
            _report.file(recorded);
        }
        return;
    }
    const QFileInfoList files = QDir(_options.outDir).entryInfoList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Time);
    for (const QFileInfo &info : files) {
        if (_reported.contains(info.absoluteFilePath()) ||
            info.lastModified() < _startedAt)
            continue;
        ExportedFile file{info.absoluteFilePath(), info.size(), readChecksum(info.absoluteFilePath())};
        _reported.insert(file.path);
        _bytesInFiles += file.sizeBytes;
        _report.file(file);
    }
}

}  // namespace clientapp
