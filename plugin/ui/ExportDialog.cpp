#include "plugin/ui/ExportDialog.h"

#include "plugin/export/Controller.h"
#include "plugin/export/Events.h"
#include "plugin/host/ArchivePanel.h"
#include "plugin/host/Guids.h"
#include "plugin/host/Translation.h"
#include "plugin/ui/Lookup.h"
#include "plugin/ui/StatusListModel.h"
#include "ui_ExportDialog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryFile>
#include <QThread>
#include <QUrl>
#include <algorithm>

DayPeriod yesterdayOf(const QDate &today)
{
    const QTime midnight(0, 0, 0, 0);
    return DayPeriod{QDateTime(today.addDays(-1), midnight), QDateTime(today, midnight)};
}

namespace {

// Whether the files get the time track: the operator's last choice, kept
// while the client runs. GUI thread only.
bool g_timeTrack = true;

void translateToolTip(QWidget *widget)
{
    widget->setToolTip(zkTranslation(widget->toolTip()));
}

template <class W>
void translateTextAndTip(W *widget)
{
    widget->setText(zkTranslation(widget->text()));
    translateToolTip(widget);
}

// The folder the last export of this client session went into; the chooser
// starts there when the field is empty.
QString &lastFolder()
{
    static QString folder;
    return folder;
}

// Why nothing can be written into `dir`, in the system's words with the
// folder ("Not a directory (/media/x)"); empty when a file can be made there.
// Tried rather than read from the permissions, which say nothing of
// read-only mounts and pseudo file systems, nor anything to root.
QString folderProblem(const QString &dir)
{
    QTemporaryFile probe(dir + QStringLiteral("/.export-check-XXXXXX"));
    if (probe.open())
        return QString();
    return QStringLiteral("%1 (%2)").arg(probe.errorString(), QDir::toNativeSeparators(dir));
}

// "1:02:05": hours, minutes and seconds, a started second counted whole.
QString durationText(int64_t ms)
{
    const int64_t seconds = (ms + 999) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

ExportDialog::ExportDialog(IComponentManager *manager, const ComponentRef<IArchiveVideoSource> &source,
                           int debugLevel, QWidget *parent)
    : QDialog(parent),
      _ui(new Ui::ExportDialog),
      _manager(manager),
      _source(source),
      _controller(nullptr),
      _model(nullptr),
      _thread(nullptr),
      _debugLevel(debugLevel)
{
    _ui->setupUi(this);
    translateTexts();
    _ui->checkBoxLimitation->setToolTip(zkTranslation("MSGI_FILE_SIZE_LIMITATION_TOOLTIP"));
    _ui->spinBoxLimitation->setSuffix(QStringLiteral(" MB"));
    _ui->checkBoxTimeTrack->setChecked(g_timeTrack);
    _model = new StatusListModel(this);
    _ui->statusView->setModel(_model);
    // The times take what they need and the state the rest, so that an
    // error's text is read without widening the dialog (and whole in the
    // row's tool tip).
    QHeaderView *header = _ui->statusView->header();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setStretchLastSection(true);
    _ui->openFolderButton->setText(zkTranslation(_ui->openFolderButton->text()));
    _ui->stackedWidget->setCurrentIndex(0);
    connect(_ui->dirNameEdit, &QLineEdit::textChanged, this, &ExportDialog::updateButtons);
    connect(_ui->dateTimeFrom, &QDateTimeEdit::dateTimeChanged, this, &ExportDialog::updateButtons);
    connect(_ui->dateTimeTo, &QDateTimeEdit::dateTimeChanged, this, &ExportDialog::updateButtons);
    // Only the operator's own scrolling (not the list's following) decides
    // whether the list keeps following.
    QScrollBar *scroll = _ui->statusView->verticalScrollBar();
    connect(scroll, &QScrollBar::actionTriggered, this,
            [this, scroll] { _followList = scroll->sliderPosition() >= scroll->maximum(); });
    connect(_model, &QAbstractItemModel::rowsInserted, this, &ExportDialog::followList);
    fillArchiveBounds();
    updateButtons();
}

ExportDialog::~ExportDialog()
{
    if (_thread) {
        // A stopping controller deletes itself on its thread (and may be
        // gone already): only the wait for the thread is left.
        disconnect(_thread, nullptr, this, nullptr);
        if (_controller && !_stopping)
            stopController();
        _thread->wait();
        delete _thread;
    }
    delete _ui;
    _source.reset();
}

void ExportDialog::translateTexts()
{
    setWindowTitle(zkTranslation(windowTitle()));
    translateToolTip(this);
    translateTextAndTip(_ui->label);
    translateTextAndTip(_ui->label_2);
    translateTextAndTip(_ui->label_3);
    translateTextAndTip(_ui->radioButtonAll);
    translateTextAndTip(_ui->radioButtonRange);
    translateTextAndTip(_ui->radioButtonYesterday);
    translateTextAndTip(_ui->closeAfterFinish);
    translateTextAndTip(_ui->checkBoxLimitation);
    translateTextAndTip(_ui->checkBoxTimeTrack);
}

void ExportDialog::fillArchiveBounds()
{
    if (!_source)
        return;
    ComponentRef<IVideoSource> video = _source->videoSource();
    if (!video)
        return;
    ComponentRef<IArchiveReader> reader = video->archiveReader();
    video.reset();
    if (!reader)
        return;
    ComponentRef<IFragmentIndex> index = reader->fragmentIndex();
    reader.reset();
    if (!index)
        return;
    int64_t firstMs = 0;
    int64_t lastMs = 0;
    int32_t count = 0;
    if (index->timeBounds(&firstMs, &lastMs, &count)) {
        _ui->dateTimeFrom->setDateTime(QDateTime::fromMSecsSinceEpoch(firstMs));
        _ui->dateTimeTo->setDateTime(QDateTime::fromMSecsSinceEpoch(lastMs));
    }
}

void ExportDialog::updateButtons()
{
    const bool periodChosen = _ui->radioButtonAll->isChecked() || _ui->radioButtonRange->isChecked() ||
                              _ui->radioButtonYesterday->isChecked();
    // The editors hold what is exported whatever the period chosen.
    const bool reversed = periodChosen && _ui->dateTimeTo->dateTime() < _ui->dateTimeFrom->dateTime();
    if (QPushButton *ok = _ui->buttonBox->button(QDialogButtonBox::Ok))
        ok->setEnabled(!_ui->dirNameEdit->text().isEmpty() && periodChosen && !reversed);
    _ui->dateTime->setEnabled(_ui->radioButtonRange->isChecked());
    showReason(_ui->periodReason, reversed ? zkTranslation("MSGE_PERIOD_REVERSED") : QString());
}

void ExportDialog::showReason(QLabel *label, const QString &reason)
{
    label->setText(reason);
    label->setVisible(!reason.isEmpty());
}

void ExportDialog::on_radioButtonAll_clicked()
{
    fillArchiveBounds();
    updateButtons();
}

void ExportDialog::on_radioButtonYesterday_clicked()
{
    const DayPeriod yesterday = yesterdayOf(QDate::currentDate());
    _ui->dateTimeFrom->setDateTime(yesterday.from);
    _ui->dateTimeTo->setDateTime(yesterday.to);
    updateButtons();
}

void ExportDialog::on_radioButtonRange_clicked() { updateButtons(); }

void ExportDialog::on_checkBoxLimitation_toggled(bool checked) { _ui->spinBoxLimitation->setEnabled(checked); }

void ExportDialog::on_checkBoxTimeTrack_toggled(bool checked) { g_timeTrack = checked; }

void ExportDialog::on_toolButton_clicked()
{
    QString start = _ui->dirNameEdit->text().trimmed();
    if (start.isEmpty())
        start = lastFolder();
    // A folder still to be made: the chooser opens at what exists of it.
    while (!start.isEmpty() && !QFileInfo(start).isDir() && QFileInfo(start).absolutePath() != start)
        start = QFileInfo(start).absolutePath();
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    const QString dir = QFileDialog::getExistingDirectory(this, zkTranslation("MSGS_EXPORT_ARCHIVE"), start,
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        _ui->dirNameEdit->setText(dir);
    updateButtons();
}

void ExportDialog::on_openFolderButton_clicked() { QDesktopServices::openUrl(QUrl::fromLocalFile(_folder)); }

bool ExportDialog::checkFolder()
{
    const QString dir = QDir::cleanPath(QFileInfo(_ui->dirNameEdit->text().trimmed()).absoluteFilePath());
    _ui->dirNameEdit->setText(QDir::toNativeSeparators(dir));
    if (!QFileInfo::exists(dir)) {
        if (!askToMakeFolder(dir)) {
            showReason(_ui->folderReason, zkTranslation("MSGE_FOLDER_MISSING"));
            return false;
        }
        // When it cannot be made, the check below says why.
        QDir().mkpath(dir);
    }
    const QString problem = folderProblem(dir);
    showReason(_ui->folderReason, problem.isEmpty() ? QString() : zkTranslation("MSGE_FOLDER_UNUSABLE").arg(problem));
    if (!problem.isEmpty())
        return false;
    _folder = dir;
    return true;
}

bool ExportDialog::askToMakeFolder(const QString &dir)
{
    QMessageBox question(QMessageBox::Question, windowTitle(),
                         zkTranslation("MSGI_MAKE_FOLDER").arg(QDir::toNativeSeparators(dir)),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("makeFolderQuestion"));
    question.setDefaultButton(QMessageBox::Yes);
    return question.exec() == QMessageBox::Yes;
}

void ExportDialog::on_buttonBox_accepted()
{
    if (!checkFolder())
        return;
    lastFolder() = _folder;
    _ui->stackedWidget->setCurrentIndex(1);
    if (QPushButton *ok = _ui->buttonBox->button(QDialogButtonBox::Ok))
        ok->setEnabled(false);
    const int limitMb = _ui->spinBoxLimitation->value();
    const bool limitEnabled = _ui->checkBoxLimitation->isChecked();
    _controller = Controller::create(ComponentRef<IArchiveVideoSource>(_source), _manager, this, _folder,
                                     limitEnabled, limitMb, _debugLevel, _ui->checkBoxTimeTrack->isChecked());
    if (!_controller) {
        // No archive reader behind the source: nothing to run, no thread.
        showError(kWriteErrorCode, QString());
        return;
    }
    _thread = new QThread;
    // The thread ends once the controller is gone (stopController), and its
    // end is told on this thread.
    connect(_thread, &QThread::finished, this, &ExportDialog::workerEnded, Qt::QueuedConnection);
    _thread->start(QThread::InheritPriority);
    _controller->moveToThread(_thread);
    notifyArchivePanel();
    const int64_t fromMs = _ui->dateTimeFrom->dateTime().toMSecsSinceEpoch();
    const int64_t toMs = _ui->dateTimeTo->dateTime().toMSecsSinceEpoch();
    QCoreApplication::postEvent(_controller, new ExportEvent(0, fromMs, toMs));
}

void ExportDialog::notifyArchivePanel()
{
    ComponentRef<IArchivePanelManager> panel =
        lookupComponent<IArchivePanelManager>(_manager, guids::kArchivePanelManager);
    if (panel)
        panel->exportStarted();
}

void ExportDialog::customEvent(QEvent *event)
{
    const ControllerEvent *report = dynamic_cast<const ControllerEvent *>(event);
    if (!report)
        return;
    const ReportDetails &details = report->details;
    if (report->kind == ControllerEvent::Finished || report->kind == ControllerEvent::Error) {
        _unreadMs = std::max(_unreadMs, details.unreadMs);
        if (!details.recordPath.isEmpty())
            _recordPath = details.recordPath;
        if (!details.signedBy.isEmpty() || !details.unsignedWhy.isEmpty()) {
            _signedBy = details.signedBy;
            _unsignedWhy = details.unsignedWhy;
        }
    }
    switch (report->kind) {
    case ControllerEvent::FileStarted:
        _model->addRow(report->time);
        break;
    case ControllerEvent::FileClosed:
        _model->setTo(report->time, FileFacts{details.fileName, details.sizeBytes, details.sha256, details.complete});
        // A file closed after an error is the one the error stopped: its row
        // keeps saying so, with its end time.
        if (_failed)
            _model->setError(_errorCode, _errorReason);
        endWhenFilesAreDone();
        break;
    case ControllerEvent::Finished:
        _engineDone = true;
        _model->finish();
        endWhenFilesAreDone();
        break;
    case ControllerEvent::Error:
        showError(report->code, details.reason);
        break;
    case ControllerEvent::Progress:
        _model->setProgress(report->progress);
        break;
    default:
        break;
    }
}

void ExportDialog::showError(uint32_t code, const QString &reason)
{
    if (_failed)
        return;  // the first error is the one that ended the export
    _failed = true;
    _errorCode = code;
    // Without the engine's reason, the folder may still tell one.
    _errorReason = reason.isEmpty() && !_folder.isEmpty() ? folderProblem(_folder) : reason;
    if (!_model->hasRows())
        _model->addFailedRow();
    _model->setError(code, _errorReason);
    endWhenFilesAreDone();
}

void ExportDialog::endWhenFilesAreDone()
{
    if (!_stopping && (_engineDone || _failed) && !_model->lastFileOpen())
        endExport();
}

void ExportDialog::workerEnded()
{
    _controller = nullptr;
    if (_stopping)
        endExport();
}

void ExportDialog::followList()
{
    if (_followList)
        _ui->statusView->scrollToBottom();
}

void ExportDialog::reject()
{
    if (_controller && !_ended) {
        if (!_stopping)
            stopExport();
        return;
    }
    QDialog::reject();
}

void ExportDialog::stopExport()
{
    _stopping = true;
    // What the engine reports from now on ends a stopped export.
    _stoppedEarly = !_engineDone && !_failed;
    stopController();
    _ui->closeAfterFinish->setEnabled(false);
    if (QPushButton *cancel = _ui->buttonBox->button(QDialogButtonBox::Cancel))
        cancel->setEnabled(false);
    showReason(_ui->summaryLabel, zkTranslation("MSGI_EXPORT_STOPPING"));
}

void ExportDialog::stopController()
{
    // The controller finishes the open file in its destructor, on its own
    // thread; its destruction tells the dialog that the worker is done. The
    // thread runs until then: a start request still queued (Stop right after
    // OK) is served first, so that the export still gets its record, which
    // says it was stopped.
    connect(_controller, &QObject::destroyed, _thread, &QThread::quit, Qt::DirectConnection);
    _controller->stop();
    _controller->deleteLater();
}

void ExportDialog::endExport()
{
    if (_ended)
        return;
    _ended = true;
    // An error has to be read, and so does what a stop kept: the dialog
    // closes itself only after an export that finished.
    if (_ui->closeAfterFinish->isChecked() && !_failed && !_stopping) {
        QDialog::reject();
        return;
    }
    _ui->closeAfterFinish->setEnabled(false);
    _ui->buttonBox->setStandardButtons(QDialogButtonBox::Close);
    if (QPushButton *close = _ui->buttonBox->button(QDialogButtonBox::Close)) {
        close->setDefault(true);
        close->setFocus();
    }
    showSummary();
    _ui->statusView->scrollToBottom();
}

void ExportDialog::showSummary()
{
    QStringList lines;
    if (_failed)
        lines << zkTranslation("MSGE_EXPORT_FAILED") << StatusListModel::errorText(_errorCode, _errorReason);
    else if (_stoppedEarly)
        lines << zkTranslation("MSGI_EXPORT_STOPPED");
    else
        lines << zkTranslation("MSGI_EXPORT_FINISHED");
    // The complete files closed, and their total size when every one is known.
    int fileCount = 0;
    int64_t bytes = 0;
    bool sizesKnown = true;
    for (const StatusRow &row : _model->rows()) {
        if (row.to == -1 || !row.file.complete)
            continue;
        ++fileCount;
        bytes += std::max<int64_t>(row.file.sizeBytes, 0);
        sizesKnown = sizesKnown && row.file.sizeBytes >= 0;
    }
    QString files = QString::number(fileCount);
    if (fileCount > 0 && sizesKnown)
        files += QStringLiteral(", ") + StatusListModel::sizeText(bytes);
    lines << StatusListModel::labelled("MSGS_FILES", files);
    if (!_folder.isEmpty())
        lines << StatusListModel::labelled("MSGS_FOLDER", QDir::toNativeSeparators(_folder));
    if (!_recordPath.isEmpty())
        lines << StatusListModel::labelled("MSGS_RECORD", QFileInfo(_recordPath).fileName());
    if (!_signedBy.isEmpty())
        lines << StatusListModel::labelled("MSGS_SIGNED_BY", _signedBy);
    else if (!_unsignedWhy.isEmpty())
        lines << StatusListModel::labelled("MSGI_NOT_SIGNED", _unsignedWhy);
    if (_unreadMs > 0)
        lines << zkTranslation("MSGE_UNREAD_TIME").arg(durationText(_unreadMs));
    showReason(_ui->summaryLabel, lines.join(QLatin1Char('\n')));
    _ui->openFolderButton->setVisible(!_folder.isEmpty());
}
