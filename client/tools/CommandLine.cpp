#include "client/tools/CommandLine.h"

#include "client/media/LocalTime.h"

extern "C" {
#include <libavutil/parseutils.h>
}

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <cmath>
#include <cstdio>

namespace tools {

QString formatSeconds(int64_t durationMs)
{
    const char *sign = durationMs < 0 ? "-" : "";
    const int64_t magnitudeMs = durationMs < 0 ? -durationMs : durationMs;
    return QString::asprintf("%s%lld.%03lld", sign, static_cast<long long>(magnitudeMs / 1000),
                             static_cast<long long>(magnitudeMs % 1000));
}

CommandLine::CommandLine(const QString &command, const QString &description)
    : _helpOption(_parser.addHelpOption()), _command(command)
{
    _parser.setApplicationDescription(description);
    _parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
}

void CommandLine::addPositional(const QString &name, const QString &description, const QString &syntax)
{
    _parser.addPositionalArgument(name, description, syntax);
}

void CommandLine::addOption(const QString &name, const QString &valueName, const QString &description)
{
    _parser.addOption(QCommandLineOption(name, description, valueName));
}

bool CommandLine::parse(const QStringList &arguments, int minPositional, int maxPositional, Outcome *outcome)
{
    // The command word is not the parser's business.
    QStringList own = arguments;
    own.removeAt(1);
    if (!_parser.parse(own)) {
        *outcome = Outcome::refused(_parser.errorText());
        return false;
    }
    if (_parser.isSet(_helpOption)) {
        // Qt names the program by the path it was started with, and knows
        // nothing of the command word.
        QString help = _parser.helpText();
        const QString started = QCoreApplication::arguments().value(0);
        if (!started.isEmpty() && help.startsWith(QStringLiteral("Usage: ") + started))
            help.replace(7, started.size(), QStringLiteral("velt-archive ") + _command);
        std::fputs(qPrintable(help), stdout);
        *outcome = Outcome::success();
        return false;
    }
    const int count = int(positional().size());
    if (count < minPositional || (maxPositional >= 0 && count > maxPositional)) {
        *outcome = Outcome::refused(QStringLiteral("wrong number of arguments; see velt-archive %1 --help").arg(_command));
        return false;
    }
    return true;
}

QStringList CommandLine::positional() const
{
    return _parser.positionalArguments();
}

bool CommandLine::readPositiveInt(const QString &name, int fallback, int *value, Outcome *outcome) const
{
    *value = fallback;
    if (!_parser.isSet(name))
        return true;
    const QString text = _parser.value(name);
    bool ok = false;
    const int parsed = text.toInt(&ok);
    if (!ok || parsed <= 0) {
        *outcome = Outcome::refused(QStringLiteral("--%1 must be a positive whole number, not '%2'").arg(name, text));
        return false;
    }
    *value = parsed;
    return true;
}

bool CommandLine::readSecondsMs(const QString &name, int64_t fallbackMs, bool allowZero, int64_t *valueMs,
                                Outcome *outcome) const
{
    *valueMs = fallbackMs;
    if (!_parser.isSet(name))
        return true;
    const QString text = _parser.value(name);
    // Ten years is far beyond any recording this tool makes and keeps the
    // millisecond arithmetic far from overflow.
    constexpr double kLimitSeconds = 10.0 * 366 * 24 * 3600;
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    const bool inRange = ok && std::isfinite(seconds) && seconds >= 0 && seconds <= kLimitSeconds;
    const int64_t parsedMs = inRange ? int64_t(std::llround(seconds * 1000.0)) : -1;
    if (parsedMs < 0 || (parsedMs == 0 && !allowZero)) {
        *outcome = Outcome::refused(QStringLiteral("--%1 must be a %2 number of seconds, not '%3'")
                                        .arg(name, allowZero ? QStringLiteral("non-negative") : QStringLiteral("positive"),
                                             text));
        return false;
    }
    *valueMs = parsedMs;
    return true;
}

bool CommandLine::readLocalTime(const QString &name, int64_t fallbackMs, int64_t *timeMs, Outcome *outcome) const
{
    *timeMs = fallbackMs;
    if (!_parser.isSet(name))
        return true;
    const QString text = _parser.value(name);
    const wallclock::Reading reading = wallclock::read(text);
    if (reading.kind == wallclock::Reading::Valid) {
        *timeMs = reading.ms;
        return true;
    }
    *outcome = Outcome::refused(
        reading.kind == wallclock::Reading::Malformed
            ? QStringLiteral("--%1 must be a local time like 2024-05-01T10:00:00, or one with an offset like "
                             "2024-05-01T10:00:00+02:00, not '%2'")
                  .arg(name, text)
            : QStringLiteral("--%1: %2").arg(name, wallclock::whyNot(reading, text)));
    return false;
}

bool CommandLine::readChoice(const QString &name, const QString &what, const QStringList &choices, QString *value,
                             Outcome *outcome) const
{
    *value = choices.first();
    if (!_parser.isSet(name))
        return true;
    const QString text = _parser.value(name);
    if (!choices.contains(text)) {
        *outcome = Outcome::refused(
            QStringLiteral("unknown %1 '%2' (choose %3)").arg(what, text, choices.join(QStringLiteral(", "))));
        return false;
    }
    *value = text;
    return true;
}

bool CommandLine::readFrameRate(const QString &name, AVRational fallback, AVRational *value, Outcome *outcome) const
{
    *value = fallback;
    if (!_parser.isSet(name))
        return true;
    const QString text = _parser.value(name);
    constexpr int kMaxRate = 1000;
    AVRational rate{0, 1};
    if (av_parse_video_rate(&rate, text.toUtf8().constData()) < 0 || rate.num <= 0 || rate.den <= 0 ||
        av_q2d(rate) < 1 || av_q2d(rate) > kMaxRate) {
        *outcome = Outcome::refused(
            QStringLiteral("--%1 must be a rate from 1 to %2 a second, like 25 or 12.5, not '%3'")
                .arg(name)
                .arg(kMaxRate)
                .arg(text));
        return false;
    }
    *value = rate;
    return true;
}

bool CommandLine::readSize(const QString &name, int fallbackWidth, int fallbackHeight, int *width, int *height,
                           Outcome *outcome) const
{
    *width = fallbackWidth;
    *height = fallbackHeight;
    if (!_parser.isSet(name))
        return true;
    const QString text = _parser.value(name);
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    const int w = match.hasMatch() ? match.captured(1).toInt() : 0;
    const int h = match.hasMatch() ? match.captured(2).toInt() : 0;
    const auto fits = [](int side) { return side >= 16 && side <= 8192 && side % 2 == 0; };
    if (!fits(w) || !fits(h)) {
        *outcome = Outcome::refused(
            QStringLiteral("--%1 must be WxH with even sides from 16 to 8192, like 640x360, not '%2'").arg(name, text));
        return false;
    }
    *width = w;
    *height = h;
    return true;
}

}  // namespace tools
