// StatusListModel: the rows of the export dialog's status list, one per
// output file of the running export (start time, end time, state), or a
// single "no data" cell when the export ended without writing any file.
//
// GUI thread only. Owned by the dialog (Qt parent); the dialog feeds it from
// the engine's reports and the model knows nothing of events or the engine.
// Every operation that updates a row changes the last row and does nothing
// at all (no signal either) while there is none.
//
// Besides the texts, each row gives its values under the roles of
// plugin/ui/StatusRoles.h, so that a program following the export need not parse
// what the list shows. A row's tool tip tells its file: name, size, checksum,
// first and last block, and the whole error text when there is one.
#ifndef PLUGIN_UI_STATUSLISTMODEL_H_
#define PLUGIN_UI_STATUSLISTMODEL_H_

#include <QAbstractListModel>
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

// What is known of a closed file.
struct FileFacts {
    QString name;            // in the target folder; empty when not known
    int64_t sizeBytes = -1;  // -1 = not known
    QByteArray sha256;       // hex; empty when none was made
    bool complete = true;    // finished, named and checksummed
};

struct StatusRow {
    int64_t from;     // ms since the Unix epoch of the file's first block; -1 = not set
    int64_t to;       // ms since the Unix epoch of its last block; -1 while the file is open
    double progress;  // last reported fraction of the export, 0.0 to 1.0
    uint32_t code;    // error code, 0 = none
    bool finished;    // completed or failed
    FileFacts file;
    QString reason;  // of the error: the system's words, with the file or folder
};

class StatusListModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit StatusListModel(QObject *parent);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // A new file started at `fromMs`.
    void addRow(int64_t fromMs);
    // The last file was closed as `file`; its last block is at `toMs`.
    // Clears an error.
    void setTo(int64_t toMs, const FileFacts &file);
    // The last row failed with `code`, explained by `reason`.
    void setError(uint32_t code, const QString &reason);
    void setProgress(double fraction);
    // The export ended; without any row the list turns into the no-data cell.
    void finish();
    // An error before any file was written (or the export could not start):
    // one row without times, to carry the error.
    void addFailedRow();

    bool hasRows() const { return !_rows.empty(); }
    const std::vector<StatusRow> &rows() const { return _rows; }
    // The text of an error with its reason (none when `reason` is empty).
    static QString errorText(uint32_t code, const QString &reason);
    // "3.0 MB (3145728 bytes)"
    static QString sizeText(int64_t bytes);
    // The translated label `labelKey` ("File:"), a blank and `value`.
    static QString labelled(const char *labelKey, const QString &value);
    // The last row's file was started and is not closed yet.
    bool lastFileOpen() const;

private:
    // Signals a change of columns first..last of the last row.
    void lastRowChanged(int firstColumn, int lastColumn);
    void appendRow(const StatusRow &row);
    QString timeText(int64_t timeMs) const;
    QString stateText(const StatusRow &row) const;
    QString toolTip(const StatusRow &row) const;
    QVariant rowValue(const StatusRow &row, int role) const;

    bool _noData;
    std::vector<StatusRow> _rows;
};

#endif  // PLUGIN_UI_STATUSLISTMODEL_H_
