// ExportDialog: the modal dialog that exports the recorded archive of one
// channel. The settings page takes the target directory, the period, the
// size limit and whether the files show the recording time; OK creates the export engine (Controller) on a worker thread
// of its own, posts it the start request and shows the progress page, where
// the engine's reports become rows of a StatusListModel.
//
// GUI thread only. The dialog owns the form object, the worker thread and,
// through deferred deletion on that thread, the controller; the model and
// the widgets belong to its widget tree. Destroying the dialog stops the
// export and waits for the worker thread without a time limit.
#ifndef PLUGIN_UI_EXPORTDIALOG_H_
#define PLUGIN_UI_EXPORTDIALOG_H_

#include "plugin/host/Component.h"
#include "plugin/host/Sources.h"

#include <QDateTime>
#include <QDialog>

class Controller;
class StatusListModel;
class QThread;
namespace Ui {
class ExportDialog;
}

// The period "yesterday" seen from `today`: from yesterday's local midnight
// to today's.
struct DayPeriod {
    QDateTime from;
    QDateTime to;
};
DayPeriod yesterdayOf(const QDate &today);

class ExportDialog : public QDialog {
    Q_OBJECT

public:
    ExportDialog(IComponentManager *manager, const ComponentRef<IArchiveVideoSource> &source, int debugLevel,
                 QWidget *parent);
    ~ExportDialog() override;

protected:
    // The engine's ControllerEvents; any other event is ignored.
    void customEvent(QEvent *event) override;

private slots:
    void on_buttonBox_accepted();
    void on_toolButton_clicked();
    void on_radioButtonAll_clicked();
    void on_radioButtonYesterday_clicked();
    void on_radioButtonRange_clicked();
    void on_checkBoxLimitation_toggled(bool checked);
    void on_checkBoxTimeTrack_toggled(bool checked);
    void updateButtons();

private:
    void translateTexts();
    // Writes the archive's first and last recorded times into the editors;
    // leaves them as they are when the archive reports no bounds.
    void fillArchiveBounds();
    void notifyArchivePanel();
    // An error ends the export where the operator sees it: on the last row,
    // or on a row of its own when there is none yet.
    void showError(uint32_t code);
    // Ends the export once the end report has arrived and no file of it is
    // still being written: the end report comes before the last file is
    // closed, and closing a large file (checksum included) takes a while.
    void endWhenFilesAreDone();
    // The export is over: close when asked to and nothing failed, else keep
    // the list with a single Close button. Only once.
    void endExport();

    Ui::ExportDialog *_ui;
    IComponentManager *_manager;  // not owned
    ComponentRef<IArchiveVideoSource> _source;
    Controller *_controller;  // lives on _thread once started; deleted there
    StatusListModel *_model;  // child of the dialog
    QThread *_thread;         // owned; set together with _controller
    int _debugLevel;
    uint32_t _errorCode = 0;     // of the error that ended the export
    bool _failed = false;        // an error was reported (or the export could not start)
    bool _engineDone = false;    // the end report has arrived
    bool _ended = false;         // the dialog shows the export's end (or has closed)
};

#endif  // PLUGIN_UI_EXPORTDIALOG_H_
