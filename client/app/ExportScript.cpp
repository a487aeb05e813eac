#include "client/app/ExportScript.h"

#include "client/velt/Components.h"
#include "export/Events.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTreeView>
#include <algorithm>

namespace clientapp {

namespace {

constexpr int kPollMs = 50;
// Polls to wait, once the export has ended, for the reports that follow its
// end: the last file's closing comes after the end report, once the file has
// been finished and its checksum written, which takes a while for a large
// file. The engine always sends it; the bound only guards against a hang.
constexpr int kPollsToSettle = 10 * 60 * 1000 / kPollMs;
const char kTemporaryName[] = "tmpchunk.mkv";
const char kRowTimeFormat[] = "dd.MM.yyyy hh:mm:ss";

QString translated(const QString &key)
{
    velt::Translator translator;
    QString text;
    return translator.translate(key, text) ? text : key;
}

template <class Widget>
Widget *childOf(QObject *parent, const char *name, QStringList *missing)
{
    Widget *widget = parent->findChild<Widget *>(QLatin1String(name));
    if (!widget)
        missing->append(QLatin1String(name));
    return widget;
}

// The code of an engine report that is an error, else 0. The client does
// not link the plug-in's code, so the report's run-time type information is
// not there for the undefined-behaviour sanitizer to check against; the
// caller has checked the event's type.
__attribute__((no_sanitize("vptr"))) uint32_t errorCodeOf(const QEvent *event)
{
    const auto *report = static_cast<const ControllerEvent *>(event);
    return report->kind == ControllerEvent::Error ? report->code : 0;
}

QString cell(const QAbstractItemModel *model, int row, int column)
{
    return model->data(model->index(row, column)).toString();
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
    reportUnlistedFiles();
    _report.finish();
    *message = _message;
    return _outcome;
}

void ExportScript::giveUp(const QString &why)
{
    _concluded = true;
    _outcome = NotRun;
    _message = why;
    if (_dialog) {
        _dialog->removeEventFilter(this);
        _dialog->reject();
    }
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
    _dialog->installEventFilter(this);
    connect(_model, &QAbstractItemModel::rowsInserted, this, &ExportScript::readRows);
    connect(_model, &QAbstractItemModel::dataChanged, this, &ExportScript::readRows);
    connect(_model, &QAbstractItemModel::modelReset, this, &ExportScript::readRows);
    QPushButton *ok = _buttons->button(QDialogButtonBox::Ok);
    if (!ok || !ok->isEnabled()) {
        giveUp(QStringLiteral("the export dialog did not accept the folder and period"));
        return;
    }
    ok->click();
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

    // The folder field is read-only: the folder chooser's result is what
    // sets it, so the text is set the same way, before a period is picked
    // (picking one applies the dialog's OK rule).
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
    closeAfterFinish->setChecked(false);
    return true;
}

bool ExportScript::eventFilter(QObject *watched, QEvent *event)
{
    // The dialog drops an error report that comes before the first row,
    // and after a file that could not be opened no end report follows: so
    // the engine's reports are read here as they reach the dialog (the one
    // object this filter is installed on).
    if (event->type() == kExportEventType && _engineError == 0)
        _engineError = errorCodeOf(event);
    return QObject::eventFilter(watched, event);
}

void ExportScript::readRows()
{
    if (!_model)
        return;
    if (_model->columnCount() == 1) {
        _noDataText = cell(_model, 0, 0);
        return;
    }
    static const QRegularExpression percent(QStringLiteral("^(\\d+(?:\\.\\d+)?) %$"));
    const QString complete = translated(QStringLiteral("MSGI_COMPLETE"));
    _openRows = 0;
    for (int row = 0; row < _model->rowCount(); ++row) {
        // Only the last row ever changes: a row whose file was announced is done.
        if (_reportedRows.contains(row))
            continue;
        const QString state = cell(_model, row, 2);
        const QRegularExpressionMatch match = percent.match(state);
        if (match.hasMatch()) {
            ++_openRows;
            // A new file's row starts again at 0 %.
            _percent = std::max(_percent, match.captured(1).toDouble());
            continue;
        }
        if (state != complete) {
            if (_rowError.isEmpty())
                _rowError = state;
            continue;
        }
        const QDateTime from = QDateTime::fromString(cell(_model, row, 0), QLatin1String(kRowTimeFormat));
        const QDateTime to = QDateTime::fromString(cell(_model, row, 1), QLatin1String(kRowTimeFormat));
        ExportedFile file;
        if (!from.isValid() || !to.isValid() || !findExportedFile(_options.outDir, from, to, &file) ||
            _reported.contains(file.path))
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
    const QFileInfo open(QDir(_options.outDir).filePath(QLatin1String(kTemporaryName)));
    const int64_t openBytes = open.isFile() ? open.size() : 0;
    // The open file's bytes move into a finished file by a rename the rows
    // learn of a little later; what was written never shrinks.
    _bytesShown = std::max(_bytesShown, _bytesInFiles + openBytes);
    _report.progress(_percent, int(_reported.size()), _bytesShown);
    const bool ended = _engineError != 0 || (_buttons && _buttons->standardButtons() == QDialogButtonBox::Close);
    if (ended)
        ++_pollsSinceEnd;
    const bool settled = _openRows == 0 || _pollsSinceEnd >= kPollsToSettle;
    if (!_rowError.isEmpty() || (ended && settled))
        conclude();
}

void ExportScript::conclude()
{
    readRows();
    _concluded = true;
    _pollTimer.stop();
    if (!_rowError.isEmpty() || _engineError != 0) {
        _outcome = ExportFailed;
        _message = !_rowError.isEmpty() ? _rowError : translated(QStringLiteral("MSGE_KALMIX_%1").arg(_engineError));
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
    _dialog->removeEventFilter(this);
    _dialog->reject();
}

void ExportScript::reportUnlistedFiles()
{
    if (!_concluded)
        return;
    const QFileInfoList files = QDir(_options.outDir).entryInfoList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Time);
    for (const QFileInfo &info : files) {
        if (info.fileName() == QLatin1String(kTemporaryName) || _reported.contains(info.absoluteFilePath()) ||
            info.lastModified() < _startedAt)
            continue;
        ExportedFile file{info.absoluteFilePath(), info.size(), readChecksum(info.absoluteFilePath())};
        _reported.insert(file.path);
        _report.file(file);
    }
}

}  // namespace clientapp
