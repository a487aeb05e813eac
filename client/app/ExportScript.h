// ExportScript: runs one export through the plug-in's own controls, as a
// user would. It clicks the frame's export button, which opens the modal
// export dialog; from inside the dialog's event loop it fills the form
// (folder, period, size limit, "close after finish" off) and presses OK,
// then follows the dialog's status list through the values its rows hold
// (plugin/ui/StatusRoles.h), reporting progress and each file as it is closed,
// until the dialog shows its single Close button (every file done, or an
// error); then it closes the dialog and says how it ended.
//
// GUI thread. Owns nothing of the dialog; the report belongs to the caller.
#ifndef CLIENT_APP_EXPORTSCRIPT_H_
#define CLIENT_APP_EXPORTSCRIPT_H_

#include "client/app/ClientOptions.h"
#include "client/app/ExportReport.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

class QAbstractButton;
class QAbstractItemModel;
class QDialog;
class QDialogButtonBox;

namespace clientapp {

class ExportScript : public QObject {
    Q_OBJECT

public:
    // Exit codes of `velt-client export`.
    enum Outcome { Written = 0, NotRun = 1, NoData = 3, ExportFailed = 4, Unread = 5, Stopped = 6 };

    ExportScript(const ExportOptions &options, ExportReport &report);

    // Clicks `button` and returns when the dialog it opened is closed and
    // the export has ended. *message says why when the outcome is not
    // Written.
    Outcome run(QAbstractButton *button, QString *message);
    // Stops the export as closing the dialog does (SIGINT, SIGTERM,
    // SIGHUP); `why` is the outcome's message.
    void stop(const QString &why);

private:
    void fillDialog();
    bool fillForm();
    void poll();
    void concludeWhenEnded();
    void readRows();
    void conclude();
    void giveUp(const QString &why);
    // Files in the target folder that no row announced (closed after the
    // dialog stopped watching).
    void reportUnlistedFiles();
    // The record this export keeps in its folder; empty while there is none.
    QJsonObject ownRecord();
    // A file of this export's record not listed yet: the one with those
    // first and last block times, or any (fromMs -1). False when none.
    bool recordedFile(const QJsonObject &record, qint64 fromMs, qint64 toMs, ExportedFile *file);

    const ExportOptions &_options;
    ExportReport &_report;
    QTimer _openTimer;
    QTimer _pollTimer;
    QPointer<QDialog> _dialog;
    QPointer<QAbstractItemModel> _model;
    QString _recordPath;  // this export's record, once found
    QPointer<QDialogButtonBox> _buttons;

    QDateTime _startedAt;
    QSet<QString> _reported;  // paths of the files announced so far
    QSet<int> _reportedRows;  // rows whose file was announced
    int64_t _bytesInFiles = 0;  // of the files announced
    int64_t _bytesShown = 0;
    double _percent = 0.0;
    QString _noDataText;     // the single cell's text, once shown
    QString _rowError;       // a failed row's text, once shown
    bool _concluded = false;
    QString _stopReason;     // set once a stop was asked for
    Outcome _outcome = NotRun;
    QString _message;
};

}  // namespace clientapp

#endif  // CLIENT_APP_EXPORTSCRIPT_H_
