// What `velt-client export` prints while the plug-in exports: a progress bar
// redrawn on one line when standard output is a terminal, plain lines when
// it is not, and one line per finished file with its size and, when the
// plug-in wrote one beside it, its SHA-256 checksum.
//
// Main thread. Writes to standard output only; messages for standard error
// are the caller's.
#ifndef CLIENT_APP_EXPORTREPORT_H_
#define CLIENT_APP_EXPORTREPORT_H_

#include <QDateTime>
#include <QString>
#include <cstdint>

namespace clientapp {

// One file the export wrote.
struct ExportedFile {
    QString path;
    int64_t sizeBytes = 0;
    QString sha256;  // empty when there is no checksum file
    bool complete = true;  // false: written only in part, named so
};

// The newest file in `dir` named after the local times `from` and `to` of
// its first and last blocks ("yyyy.MM.dd.hh.mm.ss-yyyy.MM.dd.hh.mm.ss.mkv",
// or with " (N)" before ".mkv"); false when there is none.
bool findExportedFile(const QString &dir, const QDateTime &from, const QDateTime &to, ExportedFile *file);
// The first word of "<path>.sha256", empty when there is no such file.
QString readChecksum(const QString &path);

class ExportReport {
public:
    explicit ExportReport(bool terminal);

    void progress(double percent, int files, int64_t bytes);
    void file(const ExportedFile &file);
    // Any other line; the bar is redrawn under it.
    void line(const QString &text);
    // Leaves the last bar on its line.
    void finish();

private:
    void clearBar();
    void drawBar();

    bool _terminal;
    bool _barShown = false;
    double _percent = 0.0;
    int _files = 0;
    int64_t _bytes = 0;
    int _lastDecile = -1;  // plain output: one line per tenth
    int _lastFiles = 0;    // and per count of files
};

}  // namespace clientapp

#endif  // CLIENT_APP_EXPORTREPORT_H_
