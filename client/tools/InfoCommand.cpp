// velt-archive info: the fragments of an archive.
#include "client/archive/ArchiveComponents.h"
#include "client/media/FourCC.h"
#include "client/media/LocalTime.h"
#include "client/tools/CommandLine.h"
#include "client/tools/Commands.h"

#include <cstdio>

namespace tools {

namespace {

// "H264 x250", or "-" for a stream the fragment lacks.
QString streamColumn(uint32_t code, int64_t blocks)
{
    if (code == 0)
        return QStringLiteral("-");
    return QStringLiteral("%1 x%2").arg(QString::fromLatin1(fourcc::bytes(code)).trimmed()).arg(blocks);
}

}  // namespace

Outcome runInfo(const QStringList &arguments)
{
    CommandLine line(QStringLiteral("info"),
                     QStringLiteral("Lists the fragments of an archive with their local start and end times (with their offsets), "
                                    "streams, block counts and sizes."));
    line.addPositional(QStringLiteral("DIR"), QStringLiteral("Folder of the archive."));
    Outcome outcome = Outcome::success();
    if (!line.parse(arguments, 1, 1, &outcome))
        return outcome;
    const QString dir = line.positional().first();

    std::vector<archive::FragmentInfo> fragments;
    QString error;
    if (!archive::describe(dir, &fragments, &error))
        return Outcome::refused(QStringLiteral("%1: %2").arg(dir, error));

    std::printf("%-4s %-25s  %-25s  %12s  %-12s  %-12s  %12s  %s\n", "#", "start", "end", "duration s", "video",
                "audio", "bytes", "state");
    int64_t totalMs = 0, totalVideo = 0, totalAudio = 0, totalBytes = 0, cutOff = 0;
    for (size_t i = 0; i < fragments.size(); ++i) {
        const archive::FragmentInfo &f = fragments[i];
        std::printf("%-4zu %-25s  %-25s  %12s  %-12s  %-12s  %12lld  %s\n", i + 1,
                    qPrintable(wallclock::format(f.startMs)), qPrintable(wallclock::format(f.endMs)),
                    qPrintable(formatSeconds(f.endMs - f.startMs)),
                    qPrintable(streamColumn(f.videoFourcc, f.videoBlocks)),
                    qPrintable(streamColumn(f.audioFourcc, f.audioBlocks)), static_cast<long long>(f.sizeBytes),
                    qPrintable(f.complete ? QStringLiteral("complete") : QStringLiteral("not ended: ") + f.status));
        totalMs += f.endMs - f.startMs;
        totalVideo += f.videoBlocks;
        totalAudio += f.audioBlocks;
        totalBytes += f.sizeBytes;
        cutOff += f.complete ? 0 : 1;
    }
    std::printf("total: %zu fragment(s), %s s, %lld video + %lld audio blocks, %lld bytes, %lld not ended cleanly\n",
                fragments.size(), qPrintable(formatSeconds(totalMs)), static_cast<long long>(totalVideo),
                static_cast<long long>(totalAudio), static_cast<long long>(totalBytes), static_cast<long long>(cutOff));
    return Outcome::success();
}

}  // namespace tools
