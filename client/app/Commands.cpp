#include "client/app/Commands.h"

#include "client/app/ArchivePlayer.h"
#include "client/app/ClientHost.h"
#include "client/app/ClientOptions.h"
#include "client/app/ExportReport.h"
#include "client/app/ExportScript.h"
#include "client/app/ExportVerifier.h"
#include "client/app/FrameWidget.h"
#include "client/app/MainWindow.h"
#include "client/archive/ArchiveComponents.h"
#include "client/media/LocalTime.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace clientapp {

namespace {

// Exit codes shared by both commands.
constexpr int kCannotRun = 1;
constexpr int kBadArguments = 2;

QStringList argumentsOf(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

void complain(const QString &text) { std::fprintf(stderr, "velt-client: %s\n", text.toLocal8Bit().constData()); }

void say(const QString &text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
    std::clearerr(stdout);
}

// Prints help or the refusal; returns the exit code, or -1 to go on.
int settle(ParseResult result, const QString &message, const char *helpCommand)
{
    switch (result) {
    case ParseResult::Run:
        return -1;
    case ParseResult::Help:
        // Parsed before the application exists, which would name the program.
        std::fputs(QString(message).replace(QStringLiteral("<executable_name>"), QStringLiteral("velt-client"))
                       .toLocal8Bit()
                       .constData(),
                   stdout);
        return 0;
    case ParseResult::Refused:
        complain(message);
        std::fprintf(stderr, "Try '%s --help'.\n", helpCommand);
        return kBadArguments;
    }
    return kBadArguments;
}

// Enters the data folder, starts the host with the plug-in and opens the
// archive. Returns -1 when all went well, else the exit code.
int startClient(ClientHost &host, const QString &pluginPath, int debugLevel, const QString &archiveDir,
                ComponentRef<IArchiveVideoSource> *source)
{
    av_log_set_level(AV_LOG_ERROR);
    QString error;
    if (!enterDataFolder(&error) ||
        !host.start(pluginPath.isEmpty() ? defaultPluginPath() : pluginPath, debugLevel, &error)) {
        complain(error);
        return kCannotRun;
    }
    *source = archive::openSource(archiveDir, &error);
    if (!*source) {
        complain(QStringLiteral("cannot open the archive %1: %2").arg(archiveDir, error));
        return kBadArguments;
    }
    return -1;
}

// Everything the client held is released by now; what the ledger still
// counts was leaked by someone.
int endClient(ClientHost &host, int exitCode)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    host.shutdown();
    const QString leftovers = leftoverComponents();
    if (!leftovers.isEmpty())
        std::fprintf(stderr, "velt-client: components still alive:\n%s", leftovers.toLocal8Bit().constData());
    return exitCode;
}

QString periodText(const ExportOptions &options)
{
    switch (options.period) {
    case ExportOptions::Period::All:
        return QStringLiteral("the whole archive");
    case ExportOptions::Period::Yesterday:
        return QStringLiteral("yesterday");
    case ExportOptions::Period::Range:
        break;
    }
    // With offsets: in an hour that occurs twice, they tell which.
    return QStringLiteral("%1 to %2").arg(wallclock::format(options.from.toMSecsSinceEpoch()),
                                          wallclock::format(options.to.toMSecsSinceEpoch()));
}

bool archiveFolderExists(const QString &dir)
{
    if (QFileInfo(dir).isDir())
        return true;
    complain(QStringLiteral("there is no archive folder %1").arg(dir));
    return false;
}

// A missing target folder is made; anything else but a folder is refused.
bool prepareTarget(const QString &dir)
{
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) {
        complain(QStringLiteral("--out %1 is not a folder").arg(dir));
        return false;
    }
    if (!info.exists()) {
        if (!QDir().mkpath(dir)) {
            complain(QStringLiteral("cannot make the folder %1").arg(dir));
            return false;
        }
        say(QStringLiteral("Made the folder %1").arg(dir));
    }
    return true;
}

// Without a screen, the terminal is the user's: the plug-in's and Qt's
// diagnostic lines are shown only with a debug level, and the offscreen
// platform's note that it has no window manager (when it is chosen) not at
// all.
bool g_showDiagnostics = false;

void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !g_showDiagnostics)
        return;
    if (text == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// SIGINT, SIGTERM and SIGHUP stop an export as its dialog's stop does: the
// handler only writes the signal's number into a pipe, which the event loop
// reads.
int g_signalPipe[2] = {-1, -1};

void onStopSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// Hands the stop signals to `script` for as long as the result lives.
std::unique_ptr<QSocketNotifier> stopOnSignals(ExportScript &script)
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &script, [&script] {
        unsigned char number = 0;
        while (read(g_signalPipe[0], &number, 1) == 1)
            script.stop(QStringLiteral("stopped by %1").arg(QString::fromLatin1(sigabbrev_np(number))
                                                               .prepend(QStringLiteral("SIG"))));
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(number, &action, nullptr);
    return notifier;
}

void takeScreenshot(const QString &path)
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || !screen->grabWindow(0).save(path))
        complain(QStringLiteral("cannot save a screenshot to %1").arg(path));
}

// Fills the open export dialog as an operator would: the folder, the whole
// archive, OK.
void exportWholeArchive(const QString &dir)
{
    QWidget *dialog = QApplication::activeModalWidget();
    auto *folder = dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("dirNameEdit")) : nullptr;
    auto *all = dialog ? dialog->findChild<QRadioButton *>(QStringLiteral("radioButtonAll")) : nullptr;
    auto *buttons = dialog ? dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox")) : nullptr;
    if (!folder || !all || !buttons || !buttons->button(QDialogButtonBox::Ok)) {
        complain(QStringLiteral("no export dialog to fill"));
        return;
    }
    folder->setText(dir);
    all->click();
    buttons->button(QDialogButtonBox::Ok)->click();
}

}  // namespace

int runExportCommand(int argc, char **argv)
{
    ExportOptions options;
    QString message;
    const int refused = settle(parseExportOptions(argumentsOf(argc, argv), &options, &message), message,
                               "velt-client export");
    if (refused >= 0)
        return refused;
    // A reader that goes away (`| head`) does not end the export: writes to
    // the closed pipe fail instead of killing the process. So does a file
    // size limit (`ulimit -f`): the write fails with EFBIG, the file is kept
    // as incomplete and the export ends with an error, as on a full disk.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    options.archiveDir = absolutePath(options.archiveDir);
    options.outDir = absolutePath(options.outDir);
    if (!options.pluginPath.isEmpty())
        options.pluginPath = absolutePath(options.pluginPath);
    if (!archiveFolderExists(options.archiveDir) || !prepareTarget(options.outDir))
        return kBadArguments;

    // No screen, and no text is ever drawn: the minimal platform, whose font
    // database is empty, spares reading fontconfig's configuration and
    // caches (some 2 MB and 10 ms) that the offscreen platform loads.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "minimal");
    g_showDiagnostics = options.debugLevel > 0;
    qInstallMessageHandler(quietMessages);
    QApplication app(argc, argv);
    ClientHost host;
    ComponentRef<IArchiveVideoSource> source;
    int code = startClient(host, options.pluginPath, options.debugLevel, options.archiveDir, &source);
    if (code < 0) {
        say(QStringLiteral("Exporting %1 of %2 into %3%4")
                .arg(periodText(options), options.archiveDir, options.outDir,
                     options.limitMb > 0 ? QStringLiteral(", files of at most %1 MB").arg(options.limitMb)
                                         : QString()));
        FrameWidget frame;
        frame.showArchive(source);
        frame.attachPlugin(host.factory());
        ExportReport report(isatty(fileno(stdout)) != 0);
        ExportScript script(options, report);
        const std::unique_ptr<QSocketNotifier> stopSignals = stopOnSignals(script);
        const ExportScript::Outcome outcome =
            script.run(qobject_cast<QAbstractButton *>(frame.pluginButton()), &message);
        code = int(outcome);
        if (outcome == ExportScript::Written)
            say(QStringLiteral("Done."));
        else if (outcome == ExportScript::NoData)
            say(message);
        else if (outcome == ExportScript::ExportFailed)
            complain(QStringLiteral("export failed: %1").arg(message));
        else if (outcome == ExportScript::Unread)
            complain(QStringLiteral("exported, but %1").arg(message));
        else
            complain(message);
    }
    source.reset();
    return endClient(host, code);
}

int runVerifyCommand(int argc, char **argv)
{
    VerifyOptions options;
    QString message;
    const int refused = settle(parseVerifyOptions(argumentsOf(argc, argv), &options, &message), message,
                               "velt-client verify");
    if (refused >= 0)
        return refused;
    if (!QFileInfo(options.folder).isDir()) {
        complain(QStringLiteral("there is no folder %1").arg(options.folder));
        return kBadArguments;
    }
    QTextStream out(stdout);
    const int code = verifyExport(options.folder, options.caFile, out, &message);
    if (code >= 0)
        return code;
    complain(message);
    return kBadArguments;
}

int runWindowCommand(int argc, char **argv)
{
    WindowOptions options;
    QString message;
    const int refused =
        settle(parseWindowOptions(argumentsOf(argc, argv), &options, &message), message, "velt-client");
    if (refused >= 0)
        return refused;
    const QString title = options.archiveDir;
    options.archiveDir = absolutePath(options.archiveDir);
    if (!options.pluginPath.isEmpty())
        options.pluginPath = absolutePath(options.pluginPath);
    if (!options.screenshotPath.isEmpty())
        options.screenshotPath = absolutePath(options.screenshotPath);
    if (!archiveFolderExists(options.archiveDir))
        return kBadArguments;

    QApplication app(argc, argv);
    ClientHost host;
    ComponentRef<IArchiveVideoSource> source;
    int code = startClient(host, options.pluginPath, options.debugLevel, options.archiveDir, &source);
    if (code < 0) {
        MainWindow window(host, source, title);
        window.show();
        window.player()->play();
        FrameWidget *frame = window.frameWidget();
        if (options.openExportDialogAfterMs >= 0) {
            // The pointer rests on the frame, as a user's would before a click.
            QTimer::singleShot(options.openExportDialogAfterMs / 2, frame,
                               [frame] { QCursor::setPos(frame->mapToGlobal(frame->rect().center())); });
            QTimer::singleShot(options.openExportDialogAfterMs, frame, [frame] {
                if (auto *button = qobject_cast<QAbstractButton *>(frame->pluginButton()))
                    button->click();
            });
            if (!options.exportInto.isEmpty())
                QTimer::singleShot(options.openExportDialogAfterMs + 500, frame,
                                   [&options] { exportWholeArchive(options.exportInto); });
        }
        if (options.quitAfterMs >= 0) {
            QTimer::singleShot(options.quitAfterMs, &app, [&options, &app] {
                if (!options.screenshotPath.isEmpty())
                    takeScreenshot(options.screenshotPath);
                // Said on stdout, so that scripts see what was open at the end.
                if (QWidget *modal = QApplication::activeModalWidget()) {
                    say(QStringLiteral("closing the open dialog %1").arg(QLatin1String(modal->metaObject()->className())));
                    modal->close();
                }
                QTimer::singleShot(0, &app, &QCoreApplication::quit);
            });
        }
        code = app.exec();
    }
    source.reset();
    return endClient(host, code);
}

}  // namespace clientapp
