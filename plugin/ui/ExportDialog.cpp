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
#include <QDir>
#include <QFileDialog>
#include <QPushButton>
#include <QThread>

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
    _ui->statusView->header()->setSectionResizeMode(QHeaderView::Stretch);
    _ui->stackedWidget->setCurrentIndex(0);
    fillArchiveBounds();
    updateButtons();
}

ExportDialog::~ExportDialog()
{
    if (_controller) {
        _controller->stop();
        _controller->deleteLater();
        _thread->quit();
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
    if (QPushButton *ok = _ui->buttonBox->button(QDialogButtonBox::Ok))
        ok->setEnabled(!_ui->dirNameEdit->text().isEmpty() && periodChosen);
    _ui->dateTime->setEnabled(_ui->radioButtonRange->isChecked());
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
    QString start = _ui->dirNameEdit->text();
    if (start.isEmpty())
        start = QDir::homePath();
    const QString dir = QFileDialog::getExistingDirectory(this, zkTranslation("MSGS_EXPORT_ARCHIVE"), start,
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        _ui->dirNameEdit->setText(dir);
    updateButtons();
}

void ExportDialog::on_buttonBox_accepted()
{
    _ui->stackedWidget->setCurrentIndex(1);
    if (QPushButton *ok = _ui->buttonBox->button(QDialogButtonBox::Ok))
        ok->setEnabled(false);
    const int limitMb = _ui->spinBoxLimitation->value();
    const bool limitEnabled = _ui->checkBoxLimitation->isChecked();
    const QString dir = _ui->dirNameEdit->text();
    _controller = Controller::create(ComponentRef<IArchiveVideoSource>(_source), _manager, this, dir, limitEnabled,
                                     limitMb, _debugLevel, _ui->checkBoxTimeTrack->isChecked());
    if (!_controller) {
        // No archive reader behind the source: nothing to run, no thread.
        showError(kWriteErrorCode);
        return;
    }
    _thread = new QThread;
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
    switch (report->kind) {
    case ControllerEvent::FileStarted:
        _model->addRow(report->time);
        break;
    case ControllerEvent::FileClosed:
        _model->setTo(report->time);
        // A file closed after an error is the one the error stopped: its row
        // keeps saying so, with its end time.
        if (_failed)
            _model->setError(_errorCode);
        endWhenFilesAreDone();
        break;
    case ControllerEvent::Finished:
        _engineDone = true;
        _model->finish();
        endWhenFilesAreDone();
        break;
    case ControllerEvent::Error:
        showError(report->code);
        break;
    case ControllerEvent::Progress:
        _model->setProgress(report->progress);
        break;
    default:
        break;
    }
}

void ExportDialog::showError(uint32_t code)
{
    if (_failed)
        return;  // the first error is the one that ended the export
    _failed = true;
    _errorCode = code;
    if (_model->hasRows())
        _model->setError(code);
    else
        _model->addFailedRow(code);
    // Shown at once: the error is the end, whatever file is still closing.
    endExport();
}

void ExportDialog::endWhenFilesAreDone()
{
    if (_engineDone && !_model->lastFileOpen())
        endExport();
}

void ExportDialog::endExport()
{
    if (_ended)
        return;
    _ended = true;
    // An error has to be read: the dialog never closes itself after one.
    if (_ui->closeAfterFinish->isChecked() && !_failed) {
        reject();
        return;
    }
    _ui->closeAfterFinish->setEnabled(false);
    _ui->buttonBox->setStandardButtons(QDialogButtonBox::Close);
}
