// velt-archive: makes and inspects archives of the stand-in client.
#include "client/tools/Commands.h"
#include "client/tools/Interruption.h"

#include <QCoreApplication>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
}

// libx265 keeps some of every encoder's buffers until the process ends;
// LeakSanitizer asks for this in sanitizer builds, other builds ignore it.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libx265\n";
}

namespace {

struct Command {
    const char *name;
    tools::Outcome (*run)(const QStringList &);
    const char *summary;
};

const Command kCommands[] = {
    {"synth", tools::runSynth, "record a synthetic camera into a new archive"},
    {"import", tools::runImport, "record media files into a new archive, one fragment per file"},
    {"info", tools::runInfo, "list the fragments of an archive"},
};

void printUsage(FILE *out)
{
    std::fprintf(out, "Usage: velt-archive COMMAND [options] ...\n\nCommands:\n");
    for (const Command &command : kCommands)
        std::fprintf(out, "  %-8s %s\n", command.name, command.summary);
    std::fprintf(out, "\nvelt-archive COMMAND --help shows a command's options. Times are local, "
                      "yyyy-MM-ddTHH:mm:ss.\nSet VELT_ARCHIVE_FFMPEG_LOG=1 to see FFmpeg's own log.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velt-archive"));
    // FFmpeg's errors reach the user through the tool's one-line messages,
    // which carry the error text and the file; its own log (a demuxer's
    // complaints about a file it is probing) is shown only on request.
    av_log_set_level(qEnvironmentVariableIsSet("VELT_ARCHIVE_FFMPEG_LOG") ? AV_LOG_VERBOSE : AV_LOG_FATAL);

    tools::catchInterruption();

    const QStringList arguments = QCoreApplication::arguments();
    const QString word = arguments.value(1);
    if (word == QLatin1String("--help") || word == QLatin1String("-h") || word == QLatin1String("help")) {
        printUsage(stdout);
        return tools::Outcome::kSuccess;
    }
    for (const Command &command : kCommands) {
        if (word != QLatin1String(command.name))
            continue;
        const tools::Outcome outcome = command.run(arguments);
        if (!outcome.ok())
            std::fprintf(stderr, "velt-archive %s: %s\n", command.name, qPrintable(outcome.message()));
        return outcome.exitCode();
    }
    if (word.isEmpty())
        std::fprintf(stderr, "velt-archive: no command given\n");
    else
        std::fprintf(stderr, "velt-archive: unknown command '%s'\n", qPrintable(word));
    printUsage(stderr);
    return tools::Outcome::kRefusedInput;
}
