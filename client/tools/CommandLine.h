// The command line of one velt-archive command: a QCommandLineParser with
// the command's own help, plus readers that turn option values into checked
// numbers, sizes, choices and local times, refusing bad values with one clear
// message. Used on the main thread only.
#ifndef CLIENT_TOOLS_COMMANDLINE_H_
#define CLIENT_TOOLS_COMMANDLINE_H_

#include "client/tools/Outcome.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <QCommandLineParser>
#include <QStringList>
#include <cstdint>

namespace tools {

// Milliseconds as seconds with three decimals ("12.040").
QString formatSeconds(int64_t durationMs);

class CommandLine {
public:
    // `command` is the word after the tool's name ("synth").
    CommandLine(const QString &command, const QString &description);

    void addPositional(const QString &name, const QString &description, const QString &syntax = QString());
    // Adds a valued option --name.
    void addOption(const QString &name, const QString &valueName, const QString &description);

    // Parses the tool's arguments (tool name, command, the rest). False when
    // the command must not run: *outcome is success after --help, refused on
    // bad usage. Positional arguments must number from `minPositional` to
    // `maxPositional` (-1: no limit).
    bool parse(const QStringList &arguments, int minPositional, int maxPositional, Outcome *outcome);
    // The positional arguments (the command word is not one).
    QStringList positional() const;

    // Readers of option values: each leaves *value at `fallback` when the
    // option is absent and refuses a malformed or out-of-range value.
    bool readPositiveInt(const QString &name, int fallback, int *value, Outcome *outcome) const;
    // Seconds with up to millisecond precision, as milliseconds; zero is
    // accepted only with `allowZero`.
    bool readSecondsMs(const QString &name, int64_t fallbackMs, bool allowZero, int64_t *valueMs,
                       Outcome *outcome) const;
    // A time as client/media/LocalTime.h reads it.
    bool readLocalTime(const QString &name, int64_t fallbackMs, int64_t *timeMs, Outcome *outcome) const;
    // One of `choices` (lower case), as given.
    bool readChoice(const QString &name, const QString &what, const QStringList &choices, QString *value,
                    Outcome *outcome) const;
    // Pictures per second from 1 to 1000, as FFmpeg reads a frame rate
    // ("25", "12.5", "30000/1001").
    bool readFrameRate(const QString &name, AVRational fallback, AVRational *value, Outcome *outcome) const;
    // WxH with even sides from 16 to 8192 pixels.
    bool readSize(const QString &name, int fallbackWidth, int fallbackHeight, int *width, int *height,
                  Outcome *outcome) const;

private:
    QCommandLineParser _parser;
    QCommandLineOption _helpOption;
    QString _command;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_COMMANDLINE_H_
