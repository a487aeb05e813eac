#include "client/app/ClientOptions.h"

#include "client/media/LocalTime.h"

#include <QCommandLineParser>

namespace clientapp {

namespace {

constexpr int kMaxLimitMb = 1024;

// An integer option value within [low, high].
bool readInt(const QCommandLineParser &parser, const QString &name, int low, int high, int *value, QString *message)
{
    bool ok = false;
    const QString text = parser.value(name);
    const int number = text.toInt(&ok);
    if (!ok || number < low || number > high) {
        *message = QStringLiteral("--%1: '%2' is not a whole number from %3 to %4").arg(name, text).arg(low).arg(high);
        return false;
    }
    *value = number;
    return true;
}

bool readTime(const QCommandLineParser &parser, const QString &name, QDateTime *time, QString *message)
{
    const QString text = parser.value(name);
    const wallclock::Reading reading = wallclock::read(text);
    if (reading.kind == wallclock::Reading::Valid) {
        // Local, as the dialog's fields show it; the instant is kept even in
        // an hour that occurs twice.
        *time = QDateTime::fromMSecsSinceEpoch(reading.ms);
        return true;
    }
    *message = reading.kind == wallclock::Reading::Malformed
                   ? QStringLiteral("--%1: '%2' is not a local time of the form %3, nor one with an offset "
                                    "like 2026-10-25T02:10:00+01:00 or 2026-10-25T01:10:00Z")
                         .arg(name, text, QLatin1String(wallclock::kFormat))
                   : QStringLiteral("--%1: %2").arg(name, wallclock::whyNot(reading, text));
    return false;
}

// The options of both command lines.
struct SharedOptions {
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help.")};
    QCommandLineOption debug{QStringLiteral("debug-level"), QStringLiteral("The client's DEBUG_LEVEL setting."),
                             QStringLiteral("N")};
    QCommandLineOption plugin{QStringLiteral("plugin"), QStringLiteral("Plug-in library to load."),
                              QStringLiteral("PATH")};

    void addTo(QCommandLineParser *parser) const { parser->addOptions({help, debug, plugin}); }

    // Run when the caller goes on reading its own values.
    ParseResult parse(QCommandLineParser *parser, const QStringList &arguments, QString *message) const
    {
        if (!parser->parse(arguments)) {
            *message = parser->errorText();
            return ParseResult::Refused;
        }
        if (parser->isSet(help)) {
            *message = parser->helpText();
            return ParseResult::Help;
        }
        return ParseResult::Run;
    }

    bool read(const QCommandLineParser &parser, int *debugLevel, QString *pluginPath, QString *message) const
    {
        *pluginPath = parser.value(plugin);
        return !parser.isSet(debug) || readInt(parser, debug.names().first(), 0, 1000, debugLevel, message);
    }
};

}  // namespace

ParseResult parseExportOptions(const QStringList &arguments, ExportOptions *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Exports a recorded archive through the export plug-in, driving its dialog as a user would.\n"
        "Exit codes: 0 files written, 2 bad arguments, 3 no recorded data in the period,\n"
        "4 the export reported an error, 5 files written but recorded time could not be read,\n"
        "6 stopped by SIGINT, SIGTERM or SIGHUP, 1 the client could not run the plug-in."));
    const SharedOptions shared;
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("Target folder (made when missing)."),
                                 QStringLiteral("DIR"));
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Export the whole archive."));
    const QCommandLineOption yesterday(QStringLiteral("yesterday"), QStringLiteral("Export yesterday (local time)."));
    const QCommandLineOption from(QStringLiteral("from"),
                                  QStringLiteral("Start of the period: local time, or with an offset (+01:00, Z)."),
                                  QLatin1String(wallclock::kFormat));
    const QCommandLineOption to(QStringLiteral("to"), QStringLiteral("End of the period, as --from."),
                                QLatin1String(wallclock::kFormat));
    const QCommandLineOption limit(
        QStringLiteral("limit-mb"),
        QStringLiteral("Start a new file at this size (1 to 1024 MB). 0: the limit on without a size, one file\n"
                       "across recordings with the pauses cut. Without it, a file per recording."),
        QStringLiteral("N"));
    const QCommandLineOption noTimeTrack(QStringLiteral("no-time-track"),
                                         QStringLiteral("Files without the recording time as subtitles."));
    parser.addOptions({out, all, yesterday, from, to, limit, noTimeTrack});
    shared.addTo(&parser);
    parser.addPositionalArgument(QStringLiteral("export"), QStringLiteral("The command."), QStringLiteral("export"));
    parser.addPositionalArgument(QStringLiteral("ARCHIVE_DIR"), QStringLiteral("Folder of the archive."));
    const ParseResult parsed = shared.parse(&parser, arguments, message);
    if (parsed != ParseResult::Run)
        return parsed;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() < 2) {
        *message = QStringLiteral("missing ARCHIVE_DIR");
        return ParseResult::Refused;
    }
    if (positional.size() > 2) {
        *message = QStringLiteral("one archive at a time; unexpected '%1'").arg(positional.at(2));
        return ParseResult::Refused;
    }
    options->archiveDir = positional.at(1);
    if (!parser.isSet(out) || parser.value(out).isEmpty()) {
        *message = QStringLiteral("missing --out DIR");
        return ParseResult::Refused;
    }
    options->outDir = parser.value(out);

    const bool range = parser.isSet(from) || parser.isSet(to);
    if (int(parser.isSet(all)) + int(parser.isSet(yesterday)) + int(range) != 1) {
        *message = range || parser.isSet(all) || parser.isSet(yesterday)
                       ? QStringLiteral("--all, --yesterday and --from/--to exclude each other")
                       : QStringLiteral("choose the period: --all, --yesterday or --from and --to");
        return ParseResult::Refused;
    }
    if (range) {
        if (!parser.isSet(from) || !parser.isSet(to)) {
            *message = QStringLiteral("--from and --to go together");
            return ParseResult::Refused;
        }
        if (!readTime(parser, QStringLiteral("from"), &options->from, message) ||
            !readTime(parser, QStringLiteral("to"), &options->to, message))
            return ParseResult::Refused;
        if (options->to < options->from) {
            *message = QStringLiteral("the period is reversed: --to %1 is before --from %2")
                           .arg(wallclock::format(options->to.toMSecsSinceEpoch()),
                                wallclock::format(options->from.toMSecsSinceEpoch()));
            return ParseResult::Refused;
        }
        options->period = ExportOptions::Period::Range;
    } else {
        options->period = parser.isSet(all) ? ExportOptions::Period::All : ExportOptions::Period::Yesterday;
    }
    if (parser.isSet(limit) && !readInt(parser, QStringLiteral("limit-mb"), 0, kMaxLimitMb, &options->limitMb, message))
        return ParseResult::Refused;
    options->timeTrack = !parser.isSet(noTimeTrack);
    if (!shared.read(parser, &options->debugLevel, &options->pluginPath, message))
        return ParseResult::Refused;
    return ParseResult::Run;
}

ParseResult parseWindowOptions(const QStringList &arguments, WindowOptions *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The stand-in video-surveillance client: plays a recorded archive in a video frame that carries the\n"
        "export plug-in's button and menu action.\n"
        "velt-client export --help tells how to export an archive without a window."));
    const SharedOptions shared;
    QCommandLineOption openDialog(QStringLiteral("open-export-dialog-after-ms"), QString(), QStringLiteral("MS"));
    QCommandLineOption quit(QStringLiteral("quit-after-ms"), QString(), QStringLiteral("MS"));
    QCommandLineOption screenshot(QStringLiteral("screenshot"), QString(), QStringLiteral("PATH"));
    QCommandLineOption exportInto(QStringLiteral("export-into"), QString(), QStringLiteral("DIR"));
    for (QCommandLineOption *hook : {&openDialog, &quit, &screenshot, &exportInto})
        hook->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({openDialog, quit, screenshot, exportInto});
    shared.addTo(&parser);
    parser.addPositionalArgument(QStringLiteral("ARCHIVE_DIR"), QStringLiteral("Folder of the archive."));
    const ParseResult parsed = shared.parse(&parser, arguments, message);
    if (parsed != ParseResult::Run)
        return parsed;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        *message = positional.isEmpty() ? QStringLiteral("missing ARCHIVE_DIR")
                                        : QStringLiteral("one archive at a time; unexpected '%1'").arg(positional.at(1));
        return ParseResult::Refused;
    }
    options->archiveDir = positional.first();
    options->screenshotPath = parser.value(screenshot);
    options->exportInto = parser.value(exportInto);
    if (!shared.read(parser, &options->debugLevel, &options->pluginPath, message) ||
        (parser.isSet(openDialog) && !readInt(parser, openDialog.names().first(), 0, 3600000,
                                               &options->openExportDialogAfterMs, message)) ||
        (parser.isSet(quit) && !readInt(parser, quit.names().first(), 0, 3600000, &options->quitAfterMs, message)))
        return ParseResult::Refused;
    return ParseResult::Run;
}

ParseResult parseVerifyOptions(const QStringList &arguments, VerifyOptions *options, QString *message)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks an exported folder as its recipient: each record's signature, every file it lists (size and\n"
        "SHA-256) with its .sha256 file, and files that no record lists. Needs no archive and no plug-in.\n"
        "Exit codes: 0 signed and intact, 1 intact but unsigned, 3 something changed or missing (or a\n"
        "signature that fails), 2 bad arguments."));
    const SharedOptions shared;
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("Certificates (PEM) of the authority the signer must lead to."),
                                QStringLiteral("FILE"));
    parser.addOptions({shared.help, ca});
    parser.addPositionalArgument(QStringLiteral("verify"), QStringLiteral("The command."), QStringLiteral("verify"));
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("The exported folder."));
    const ParseResult parsed = shared.parse(&parser, arguments, message);
    if (parsed != ParseResult::Run)
        return parsed;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        *message = positional.size() < 2 ? QStringLiteral("missing FOLDER")
                                         : QStringLiteral("one folder at a time; unexpected '%1'").arg(positional.at(2));
        return ParseResult::Refused;
    }
    options->folder = positional.at(1);
    options->caFile = parser.value(ca);
    return ParseResult::Run;
}

}  // namespace clientapp
