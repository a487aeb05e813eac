// velt-archive import: media files recorded as consecutive fragments.
#include "client/tools/BlockInterleaver.h"
#include "client/media/LocalTime.h"
#include "client/tools/CommandLine.h"
#include "client/tools/Commands.h"
#include "client/tools/MediaFileReader.h"
#include "client/tools/NewArchiveFolder.h"

#include <QDateTime>
#include <cstdio>

namespace tools {

namespace {

// Records the whole of `reader` as one fragment starting at `startMs`.
Outcome recordFile(MediaFileReader *reader, int64_t startMs, archive::Recorder *recorder,
                   BlockInterleaver *interleaver)
{
    QString error;
    const auto failed = [&]() { return Outcome::failed(QStringLiteral("%1: %2").arg(reader->path(), error)); };
    if (!recorder->beginFragment(&error))
        return failed();
    if (reader->hasVideo())
        interleaver->openStream(archive::kVideoStream);
    if (reader->hasAudio())
        interleaver->openStream(archive::kAudioStream);
    std::vector<Block> blocks;
    Outcome outcome = Outcome::success();
    for (;;) {
        const MediaFileReader::Result result = reader->read(startMs, &blocks, &outcome);
        if (result == MediaFileReader::Result::Failed)
            return outcome;
        if (result == MediaFileReader::Result::End)
            break;
        for (Block &block : blocks) {
            if (!interleaver->push(std::move(block), &error))
                return failed();
        }
        blocks.clear();
    }
    if (!interleaver->flush(&error))
        return failed();
    if (interleaver->counts().videoBlocks + interleaver->counts().audioBlocks == 0)
        return Outcome::refused(QStringLiteral("%1: nothing to import (no video key frame and no audio)").arg(reader->path()));
    return recorder->endFragment(&error) ? Outcome::success() : failed();
}

}  // namespace

Outcome runImport(const QStringList &arguments)
{
    CommandLine line(QStringLiteral("import"),
                     QStringLiteral("Records media files into a new archive without re-encoding, one fragment per "
                                    "file: the first video stream (h264, hevc, mjpeg; no B-frames) and the first "
                                    "audio stream (aac, pcm_mulaw, pcm_alaw at 8000 Hz mono)."));
    line.addPositional(QStringLiteral("DIR"), QStringLiteral("Folder of the new archive (missing or empty)."));
    line.addPositional(QStringLiteral("MEDIA"), QStringLiteral("Media files, in recording order."),
                       QStringLiteral("MEDIA..."));
    line.addOption(QStringLiteral("start"), QStringLiteral("yyyy-MM-ddTHH:mm:ss"),
                   QStringLiteral("Local start time of the first fragment (default: the first file's creation "
                                  "time, else now)."));
    line.addOption(QStringLiteral("gap"), QStringLiteral("S"),
                   QStringLiteral("Seconds from the end of one fragment to the start of the next (default 1)."));
    Outcome outcome = Outcome::success();
    int64_t startMs = -1, gapMs = 0;
    if (!line.parse(arguments, 2, -1, &outcome) ||
        !line.readLocalTime(QStringLiteral("start"), -1, &startMs, &outcome) ||
        !line.readSecondsMs(QStringLiteral("gap"), 1000, true, &gapMs, &outcome))
        return outcome;
    const QString dir = line.positional().first();

    NewArchiveFolder folder(dir);
    outcome = folder.check();
    if (!outcome.ok())
        return outcome;
    std::vector<std::unique_ptr<MediaFileReader>> readers;
    for (const QString &path : line.positional().mid(1)) {
        readers.push_back(MediaFileReader::open(path, &outcome));
        if (!readers.back())
            return outcome;
    }
    if (startMs < 0) {
        startMs = readers.front()->creationTimeMs();
        if (startMs < 0)
            startMs = QDateTime::currentSecsSinceEpoch() * 1000;
    }

    std::unique_ptr<archive::Recorder> recorder = folder.createRecorder(&outcome);
    if (!recorder)
        return outcome;
    BlockInterleaver interleaver(recorder.get());
    int64_t totalBlocks = 0, totalBytes = 0;
    for (size_t i = 0; i < readers.size(); ++i) {
        MediaFileReader *reader = readers[i].get();
        interleaver.resetCounts();
        outcome = recordFile(reader, startMs, recorder.get(), &interleaver);
        if (!outcome.ok())
            return outcome;
        const BlockInterleaver::Counts &counts = interleaver.counts();
        std::printf("fragment %zu/%zu from %s (%s): %s to %s, %lld video + %lld audio blocks, %lld bytes\n", i + 1,
                    readers.size(), qPrintable(reader->path()), qPrintable(reader->streamSummary()),
                    qPrintable(wallclock::format(counts.firstTimeMs)), qPrintable(wallclock::format(counts.lastTimeMs)),
                    static_cast<long long>(counts.videoBlocks), static_cast<long long>(counts.audioBlocks),
                    static_cast<long long>(counts.payloadBytes));
        if (counts.retimedBlocks > 0)
            std::printf("  %lld block(s) came too far out of order and were moved up to keep time order\n",
                        static_cast<long long>(counts.retimedBlocks));
        std::fflush(stdout);
        totalBlocks += counts.videoBlocks + counts.audioBlocks;
        totalBytes += counts.payloadBytes;
        // The fragment ends one past its last block, as the archive counts it.
        startMs = counts.lastTimeMs + 1 + gapMs;
    }
    QString error;
    if (!recorder->close(&error))
        return Outcome::failed(QStringLiteral("%1: %2").arg(dir, error));
    recorder.reset();
    folder.commit();
    std::printf("imported %zu file(s), %lld blocks, %lld bytes, into %s\n", readers.size(),
                static_cast<long long>(totalBlocks), static_cast<long long>(totalBytes), qPrintable(dir));
    return Outcome::success();
}

}  // namespace tools
