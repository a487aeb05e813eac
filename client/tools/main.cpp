// velt-archive: makes and inspects archives of the stand-in client.
#include "client/tools/Commands.h"

#include <QCoreApplication>
#include <cstdio>

extern "C" {
#include <libavutil/log.h>
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
                      "yyyy-MM-ddTHH:mm:ss.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velt-archive"));
    // FFmpeg's own chatter stays quiet; its errors reach the user through
    // the tool's messages, which carry the error text and the file.
    av_log_set_level(AV_LOG_ERROR);

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
