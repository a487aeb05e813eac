// The command lines of velt-client: the window (`velt-client ARCHIVE_DIR`),
// the scripted export (`velt-client export ARCHIVE_DIR --out DIR ...`) and
// the check of an exported folder (`velt-client verify FOLDER ...`).
// Parsing checks the values alone; whether the archive opens is learnt when
// it is opened.
//
// Main thread, before and after QApplication exists.
#ifndef CLIENT_APP_CLIENTOPTIONS_H_
#define CLIENT_APP_CLIENTOPTIONS_H_

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace clientapp {

struct ExportOptions {
    enum class Period { All, Yesterday, Range };

    QString archiveDir;
    QString outDir;
    QString pluginPath;  // empty: the default plug-in
    Period period = Period::All;
    QDateTime from;      // local time; Range only
    QDateTime to;
    int limitMb = -1;    // -1: no limit
    bool timeTrack = true;  // the files show the recording time (subtitles)
    int debugLevel = -1; // -1: as the settings say
};

// The window, with the hidden hooks that take a screenshot of it with the
// export dialog open (times in ms after start; -1: not used).
struct WindowOptions {
    QString archiveDir;
    QString pluginPath;
    int debugLevel = -1;
    int openExportDialogAfterMs = -1;
    int quitAfterMs = -1;
    QString screenshotPath;
    // Once the dialog is open: the whole archive exported into this folder.
    QString exportInto;
};

// `velt-client verify FOLDER [--ca FILE]`.
struct VerifyOptions {
    QString folder;
    QString caFile;  // empty: the signer is named, not checked
};

enum class ParseResult { Run, Help, Refused };

ParseResult parseWindowOptions(const QStringList &arguments, WindowOptions *options, QString *message);

// `arguments` are the program's (program name, "export", the rest). On
// Help, *message is the help text; on Refused, one line saying what is wrong.
ParseResult parseExportOptions(const QStringList &arguments, ExportOptions *options, QString *message);

ParseResult parseVerifyOptions(const QStringList &arguments, VerifyOptions *options, QString *message);

}  // namespace clientapp

#endif  // CLIENT_APP_CLIENTOPTIONS_H_
