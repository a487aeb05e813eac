// velt-archive synth: a synthetic camera recorded fragment by fragment.
#include "client/media/LocalTime.h"
#include "client/tools/BlockInterleaver.h"
#include "client/tools/CommandLine.h"
#include "client/tools/Commands.h"
#include "client/tools/NewArchiveFolder.h"
#include "client/tools/SyntheticAudio.h"
#include "client/tools/SyntheticVideo.h"

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTime>
#include <climits>
#include <cmath>
#include <cstdio>
#include <optional>

namespace tools {

namespace {

struct SynthSettings {
    QString dir;
    int64_t startMs;
    int fragments;
    int64_t fragmentMs;
    int64_t gapMs;
    SyntheticVideo::Settings video;
    std::optional<SyntheticAudio::Settings> audio;
};

bool readSettings(const QStringList &arguments, SynthSettings *settings, Outcome *outcome)
{
    CommandLine line(QStringLiteral("synth"),
                     QStringLiteral("Records a synthetic camera (a moving test picture and a tone) into a new "
                                    "archive. Fragment k (from 0) starts at START + k*(SECONDS+GAP)."));
    line.addPositional(QStringLiteral("DIR"), QStringLiteral("Folder of the new archive (missing or empty)."));
    line.addOption(QStringLiteral("start"), QStringLiteral("yyyy-MM-ddTHH:mm:ss"),
                   QStringLiteral("Local start time of the first fragment (default: today 10:00:00)."));
    line.addOption(QStringLiteral("fragments"), QStringLiteral("N"), QStringLiteral("Number of fragments (default 1)."));
    line.addOption(QStringLiteral("seconds"), QStringLiteral("S"), QStringLiteral("Length of each fragment (default 10)."));
    line.addOption(QStringLiteral("gap"), QStringLiteral("S"), QStringLiteral("Seconds between fragments (default 0)."));
    line.addOption(QStringLiteral("video"), QStringLiteral("h264|hevc|mjpeg"), QStringLiteral("Video codec (default h264)."));
    line.addOption(QStringLiteral("audio"), QStringLiteral("aac|ulaw|alaw|none"),
                   QStringLiteral("Audio codec (default aac)."));
    line.addOption(QStringLiteral("audio-rate"), QStringLiteral("HZ"),
                   QStringLiteral("AAC sampling rate: 8000, 16000, 32000, 44100 or 48000 (default 16000)."));
    line.addOption(QStringLiteral("channels"), QStringLiteral("1|2"), QStringLiteral("AAC channels (default 1)."));
    line.addOption(QStringLiteral("packet-ms"), QStringLiteral("MS"),
                   QStringLiteral("G.711 packet length, 10 to 1000 ms in steps of 1 ms (default 20)."));
    line.addOption(QStringLiteral("size"), QStringLiteral("WxH"), QStringLiteral("Picture size (default 640x360)."));
    line.addOption(QStringLiteral("fps"), QStringLiteral("RATE"),
                   QStringLiteral("Pictures per second: a number such as 25 or 12.5, or a fraction such as "
                                  "30000/1001 (default 25)."));
    line.addOption(QStringLiteral("gop"), QStringLiteral("N"),
                   QStringLiteral("Pictures from one key frame to the next (default: fps, one a second)."));
    if (!line.parse(arguments, 1, 1, outcome))
        return false;

    settings->dir = line.positional().first();
    const int64_t todayAtTenMs = QDateTime(QDate::currentDate(), QTime(10, 0)).toMSecsSinceEpoch();
    QString video, audio;
    if (!line.readLocalTime(QStringLiteral("start"), todayAtTenMs, &settings->startMs, outcome) ||
        !line.readPositiveInt(QStringLiteral("fragments"), 1, &settings->fragments, outcome) ||
        !line.readSecondsMs(QStringLiteral("seconds"), 10000, false, &settings->fragmentMs, outcome) ||
        !line.readSecondsMs(QStringLiteral("gap"), 0, true, &settings->gapMs, outcome) ||
        !line.readChoice(QStringLiteral("video"), QStringLiteral("video codec"),
                         {QStringLiteral("h264"), QStringLiteral("hevc"), QStringLiteral("mjpeg")}, &video, outcome) ||
        !line.readChoice(QStringLiteral("audio"), QStringLiteral("audio codec"),
                         {QStringLiteral("aac"), QStringLiteral("ulaw"), QStringLiteral("alaw"), QStringLiteral("none")},
                         &audio, outcome) ||
        !line.readSize(QStringLiteral("size"), 640, 360, &settings->video.width, &settings->video.height, outcome) ||
        !line.readFrameRate(QStringLiteral("fps"), AVRational{25, 1}, &settings->video.fps, outcome) ||
        !line.readPositiveInt(QStringLiteral("gop"), int(std::lround(av_q2d(settings->video.fps))),
                              &settings->video.gopFrames, outcome))
        return false;
    // Keeps every block time far from overflow.
    constexpr double kLimitMs = 100.0 * 366 * 24 * 3600 * 1000;
    if (double(settings->fragments) * double(settings->fragmentMs + settings->gapMs) > kLimitMs) {
        *outcome = Outcome::refused(QStringLiteral("the recording would last more than a hundred years"));
        return false;
    }
    settings->video.codec = video == QLatin1String("hevc")    ? SyntheticVideo::Codec::Hevc
                            : video == QLatin1String("mjpeg") ? SyntheticVideo::Codec::Mjpeg
                                                              : SyntheticVideo::Codec::H264;
    if (audio == QLatin1String("none"))
        return true;
    SyntheticAudio::Settings sound;
    sound.codec = audio == QLatin1String("aac")    ? SyntheticAudio::Codec::Aac
                  : audio == QLatin1String("ulaw") ? SyntheticAudio::Codec::Ulaw
                                                   : SyntheticAudio::Codec::Alaw;
    QString rate, channels;
    if (!line.readChoice(QStringLiteral("audio-rate"), QStringLiteral("AAC sampling rate"),
                         {QStringLiteral("16000"), QStringLiteral("8000"), QStringLiteral("32000"),
                          QStringLiteral("44100"), QStringLiteral("48000")},
                         &rate, outcome) ||
        !line.readChoice(QStringLiteral("channels"), QStringLiteral("channel count"),
                         {QStringLiteral("1"), QStringLiteral("2")}, &channels, outcome) ||
        !line.readPositiveInt(QStringLiteral("packet-ms"), sound.packetMs, &sound.packetMs, outcome))
        return false;
    if (sound.packetMs < 10 || sound.packetMs > 1000) {
        *outcome = Outcome::refused(QStringLiteral("--packet-ms must lie between 10 and 1000"));
        return false;
    }
    sound.sampleRateHz = rate.toInt();
    sound.channels = channels.toInt();
    settings->audio = sound;
    return true;
}

// Records fragment `index`: the tracks are stepped in the order of their
// inputs' times, video first at equal times.
bool recordFragment(const SynthSettings &settings, int index, archive::Recorder *recorder,
                    BlockInterleaver *interleaver, QString *error)
{
    const int64_t startMs = settings.startMs + index * (settings.fragmentMs + settings.gapMs);
    std::vector<std::unique_ptr<SyntheticTrack>> tracks;
    tracks.push_back(SyntheticVideo::open(settings.video, startMs, settings.fragmentMs, error));
    if (!tracks.back())
        return false;
    if (settings.audio) {
        // A different tone in each fragment tells them apart by ear.
        const double toneHz = 440.0 * (1.0 + (index % 4) / 4.0);
        tracks.push_back(SyntheticAudio::open(*settings.audio, toneHz, startMs, settings.fragmentMs, error));
        if (!tracks.back())
            return false;
    }
    if (!recorder->beginFragment(error))
        return false;
    for (const auto &track : tracks)
        interleaver->openStream(track->streamNumber());

    std::vector<Block> blocks;
    const auto pushAll = [&]() {
        for (Block &block : blocks) {
            if (!interleaver->push(std::move(block), error))
                return false;
        }
        blocks.clear();
        return true;
    };
    for (;;) {
        SyntheticTrack *next = nullptr;
        for (const auto &track : tracks) {
            if (track->nextInputTimeMs() != INT64_MAX &&
                (!next || track->nextInputTimeMs() < next->nextInputTimeMs()))
                next = track.get();
        }
        if (!next)
            break;
        if (!next->step(&blocks, error) || !pushAll())
            return false;
    }
    for (const auto &track : tracks) {
        if (!track->finish(&blocks, error) || !pushAll() || !interleaver->closeStream(track->streamNumber(), error))
            return false;
    }
    return interleaver->flush(error) && recorder->endFragment(error);
}

}  // namespace

Outcome runSynth(const QStringList &arguments)
{
    SynthSettings settings;
    Outcome outcome = Outcome::success();
    if (!readSettings(arguments, &settings, &outcome))
        return outcome;
    NewArchiveFolder folder(settings.dir);
    outcome = folder.check();
    if (!outcome.ok())
        return outcome;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<archive::Recorder> recorder = folder.createRecorder(&outcome);
    if (!recorder)
        return outcome;

    BlockInterleaver interleaver(recorder.get());
    BlockInterleaver::Counts total;
    QString error;
    for (int index = 0; index < settings.fragments; ++index) {
        interleaver.resetCounts();
        if (!recordFragment(settings, index, recorder.get(), &interleaver, &error))
            return Outcome::failed(QStringLiteral("%1: fragment %2: %3").arg(settings.dir).arg(index + 1).arg(error));
        const BlockInterleaver::Counts &counts = interleaver.counts();
        std::printf("fragment %d/%d: %s to %s, %lld video + %lld audio blocks, %lld bytes\n", index + 1,
                    settings.fragments, qPrintable(wallclock::format(counts.firstTimeMs)),
                    qPrintable(wallclock::format(counts.lastTimeMs)), static_cast<long long>(counts.videoBlocks),
                    static_cast<long long>(counts.audioBlocks), static_cast<long long>(counts.payloadBytes));
        std::fflush(stdout);
        total.videoBlocks += counts.videoBlocks;
        total.audioBlocks += counts.audioBlocks;
        total.payloadBytes += counts.payloadBytes;
    }
    if (!recorder->close(&error))
        return Outcome::failed(QStringLiteral("%1: %2").arg(settings.dir, error));
    recorder.reset();
    folder.commit();

    const int64_t mediaMs = settings.fragments * settings.fragmentMs;
    const int64_t elapsedMs = std::max<int64_t>(1, clock.elapsed());
    std::printf("synthesized %d fragment(s), %s s of media, %lld video + %lld audio blocks, %lld bytes, in %s s "
                "(%.1fx real time) into %s\n",
                settings.fragments, qPrintable(formatSeconds(mediaMs)), static_cast<long long>(total.videoBlocks),
                static_cast<long long>(total.audioBlocks), static_cast<long long>(total.payloadBytes),
                qPrintable(formatSeconds(elapsedMs)), double(mediaMs) / double(elapsedMs), qPrintable(settings.dir));
    return Outcome::success();
}

}  // namespace tools
