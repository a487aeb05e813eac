// ExportDialog: the modal dialog that exports the recorded archive of one
// channel. The settings page takes the target directory, the period, the
// size limit and whether the files show the recording time; OK creates the
// export engine (Controller) on a worker thread of its own, posts it the
// start request and shows the progress page, where the engine's reports
// become rows of a StatusListModel. When the export ends, a summary below
// the list says how it ended, what was written where, and offers to open
// the folder.
//
// GUI thread only. The dialog owns the form object, the worker thread and,
// through deferred deletion on that thread, the controller; the model and
// the widgets belong to its widget tree. Stopping (Cancel, Escape, the
// window's close button) never waits on the GUI thread: the dialog says that
// the last file is being finished until the controller is gone, then shows
// the summary. Only a dialog destroyed while its export runs waits for the
// worker thread.
#ifndef PLUGIN_UI_EXPORTDIALOG_H_
#define PLUGIN_UI_EXPORTDIALOG_H_

#include "plugin/host/Component.h"
#include "plugin/host/Sources.h"

#include <QDateTime>
#include <QDialog>

class Controller;
class StatusListModel;
class QLabel;
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

public slots:
    // While an export runs: stops it and keeps the dialog open until the
    // worker has finished its last file. Otherwise closes the dialog.
    void reject() override;

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
    void on_openFolderButton_clicked();
    void updateButtons();
    // The worker thread has ended, after the controller was destroyed on
    // it: the export's last report has been posted before this is called.
    void workerEnded();
    // Keeps the row in progress in sight unless the operator scrolled away.
    void followList();

private:
    void translateTexts();
    // Writes the archive's first and last recorded times into the editors;
    // leaves them as they are when the archive reports no bounds.
    void fillArchiveBounds();
    void notifyArchivePanel();
    // The folder typed or chosen, made absolute, exists (made after asking)
    // and can be written; otherwise says why beside it and is false.
    bool checkFolder();
    bool askToMakeFolder(const QString &dir);
    void showReason(QLabel *label, const QString &reason);
    // An error ends the export where the operator sees it: on the last row,
    // or on a row of its own when there is none yet; `reason` empty when the
    // engine gave none.
    void showError(uint32_t code, const QString &reason);
    // Ends the export once the end report (or an error) has arrived and no
    // file of it is still being written: the end report comes before the
    // last file is closed, and closing a large file (checksum included)
    // takes a while. While a stop runs, the worker's end decides.
    void endWhenFilesAreDone();
    // The export is over: close when asked to and nothing failed or was
    // stopped, else keep the list with the summary and a single Close
    // button. Only once.
    void endExport();
    void stopExport();
    // Asks the controller to stop and to delete itself, which ends its thread.
    void stopController();
    void showSummary();

    Ui::ExportDialog *_ui;
    IComponentManager *_manager;  // not owned
    ComponentRef<IArchiveVideoSource> _source;
    Controller *_controller;  // lives on _thread once started; deleted there
    StatusListModel *_model;  // child of the dialog
    QThread *_thread;         // owned; set together with _controller
    int _debugLevel;
    uint32_t _errorCode = 0;     // of the error that ended the export
    QString _errorReason;        // its reason, in the system's words; may be empty
    bool _failed = false;        // an error was reported (or the export could not start)
    bool _engineDone = false;    // the end report has arrived
    bool _ended = false;         // the dialog shows the export's end (or has closed)
    bool _stopping = false;      // the operator stopped the export; _controller is being deleted
    bool _stoppedEarly = false;  // ... before it had finished or failed
    bool _followList = true;     // the list shows its last row (the operator did not scroll away)
    // What the summary tells.
    QString _folder;             // the folder the export writes into
    QString _recordPath;         // the export record; empty when not reported
    int64_t _unreadMs = 0;       // recorded time of the period that could not be read
    QString _signedBy;           // the record's signer; empty when it is not signed
    QString _unsignedWhy;        // why the record is not signed
};

#endif  // PLUGIN_UI_EXPORTDIALOG_H_
