// Times on the tools' command lines and in what they print. A time is read
// as local wall-clock time (yyyy-MM-ddTHH:mm:ss) or as ISO 8601 with an
// offset or Z; printed, it is local time with its offset, which the same
// options read back. A local time is taken only when it names one instant:
// around a daylight saving change a wall-clock time may occur twice (the
// autumn hour) or never (the spring gap), and guessing would export the
// wrong hour or none.
//
// Header only, for velt-archive and velt-client alike; any thread.
#ifndef CLIENT_MEDIA_LOCALTIME_H_
#define CLIENT_MEDIA_LOCALTIME_H_

#include <QDateTime>
#include <QString>
#include <QTimeZone>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace wallclock {

constexpr char kFormat[] = "yyyy-MM-ddTHH:mm:ss";

// "+02:00": the offset from UTC of the local time at `ms`.
inline QString offsetText(int64_t ms)
{
    const int offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
    return QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 3600, std::abs(offset) % 3600 / 60);
}

// "2026-10-25T02:10:00+02:00": local time with its offset, to the second.
inline QString format(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QLatin1String(kFormat)) + offsetText(ms);
}

inline QString zoneName() { return QString::fromLatin1(QTimeZone::systemTimeZoneId()); }

struct Reading {
    enum Kind { Valid, Malformed, Skipped, Twice } kind = Malformed;
    int64_t ms = 0;        // Valid: the instant; Twice: the earlier of the two
    int64_t laterMs = 0;   // Twice: the later
};

inline Reading read(const QString &text)
{
    Reading reading;
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(10), QStringLiteral("'T'HH:mm:ss"));
    if (!date.isValid() || !time.isValid()) {
        const QDateTime zoned = QDateTime::fromString(text, Qt::ISODate);
        if (zoned.isValid() && zoned.timeSpec() != Qt::LocalTime) {
            reading.kind = Reading::Valid;
            reading.ms = zoned.toMSecsSinceEpoch();
        }
        return reading;
    }
    // The wall-clock time read as if it were UTC, less each offset the zone
    // has around then, is an instant whose local time it is, or is not.
    const int64_t wallMs = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    constexpr int64_t kDayMs = 24 * 3600 * 1000;
    int found = 0;
    for (const int64_t nearMs : {wallMs - kDayMs, wallMs + kDayMs}) {
        const int64_t candidateMs = wallMs - 1000 * int64_t(QDateTime::fromMSecsSinceEpoch(nearMs).offsetFromUtc());
        const int64_t readBackMs = candidateMs + 1000 * int64_t(QDateTime::fromMSecsSinceEpoch(candidateMs).offsetFromUtc());
        if (readBackMs != wallMs || (found > 0 && candidateMs == reading.ms))
            continue;
        if (found++ == 0)
            reading.ms = candidateMs;
        else
            reading.laterMs = candidateMs;
    }
    if (found == 2 && reading.laterMs < reading.ms)
        std::swap(reading.ms, reading.laterMs);
    reading.kind = found == 0 ? Reading::Skipped : found == 1 ? Reading::Valid : Reading::Twice;
    return reading;
}

// Why a reading that is not Valid names no instant; empty when Malformed,
// whose wording is the caller's.
inline QString whyNot(const Reading &reading, const QString &text)
{
    switch (reading.kind) {
    case Reading::Skipped:
        return QStringLiteral("%1 does not exist in local time (%2): the clocks skip it").arg(text, zoneName());
    case Reading::Twice:
        return QStringLiteral("%1 occurs twice in local time (%2): give %1%3 or %1%4")
            .arg(text, zoneName(), offsetText(reading.ms), offsetText(reading.laterMs));
    case Reading::Valid:
    case Reading::Malformed:
        break;
    }
    return QString();
}

}  // namespace wallclock

#endif  // CLIENT_MEDIA_LOCALTIME_H_
