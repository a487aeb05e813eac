#include "plugin/export/ChunkFile.h"

#include "plugin/export/Events.h"
#include "plugin/export/FileCloser.h"
#include "plugin/export/ParameterSets.h"
#include "plugin/export/StreamInfo.h"
#include "plugin/export/TemporaryFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>

namespace {

constexpr char kNameFormat[] = "yyyy.MM.dd.hh.mm.ss";
// Pauses longer than this are cut out of the file's timeline...
constexpr int64_t kMaxPauseMs = 2000;
// ...and the block after the pause follows the one before it by this much.
constexpr int64_t kPauseReplacementMs = 40;
// Blocks further apart than this are not one stretch of recording.
constexpr int64_t kSpanBreakMs = 1000;
// Sets up the muxer on the file at `path` and writes the header, with the
// time track's stream when `timeTrack` is given; false and *failure when it
// cannot.
bool startMuxer(AVFormatContext *context, const QByteArray &path, StreamInfo *info, TimeTrack *timeTrack,
                QString *failure)
{
    const QString where = QString::fromUtf8(path);
    context->oformat = av_guess_format("matroska", nullptr, nullptr);
    context->url = av_strdup(path.constData());
    if (!context->url || !context->oformat) {
        *failure = QStringLiteral("no Matroska writer (%1)").arg(where);
        return false;
    }
    const int opened = avio_open2(&context->pb, path.constData(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (opened < 0) {
        qWarning() << "ChunkFile: cannot open" << where << ffmpeg::errorText(opened);
        *failure = QStringLiteral("%1 (%2)").arg(ffmpeg::errorText(opened), where);
        return false;
    }
    if (!info->fillStreams(context)) {
        // The informers refused the key blocks' description of the streams.
        *failure = QStringLiteral("the recording's stream description is damaged or missing (%1)").arg(where);
        return false;
    }
    // The muxer reads the parameter sets without bounds (see ParameterSets):
    // damaged ones must not reach it.
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        if (!parametersets::usable(context->streams[i]->codecpar)) {
            qWarning() << "ChunkFile: damaged parameter sets in stream" << i << "for" << where;
            *failure = QStringLiteral("the recording's stream description is damaged (%1)").arg(where);
            return false;
        }
    }
    if (timeTrack && !timeTrack->addStream(context)) {
        qWarning() << "ChunkFile: no time track in" << where;
        *failure = QStringLiteral("out of memory (%1)").arg(where);
        return false;
    }

    qDebug("setting time base");
    for (unsigned i = 0; i < context->nb_streams; ++i)
        context->streams[i]->time_base = AVRational{1, 1000};

    Evidence::prepareHeader(context, info->firstBlockTimeMs());
    // Nothing in the file may depend on when or where it was made (no
    // random identifiers, no muxer version): exporting the same period
    // again gives the same bytes.
    context->flags |= AVFMT_FLAG_BITEXACT;
    qDebug("writing header");
    const int written = avformat_write_header(context, nullptr);
    if (written != 0) {
        qDebug("failed");
        if (written < 0)
            qWarning() << "ChunkFile: header of" << where << ffmpeg::errorText(written);
        *failure = QStringLiteral("%1 (%2)").arg(ffmpeg::errorText(written < 0 ? written : AVERROR_UNKNOWN), where);
        return false;
    }
    return true;
}

}  // namespace

ChunkFile::ChunkFile(const QString &dir, ffmpeg::OutputContext context, StreamInfo *info, QObject *receiver,
                     std::unique_ptr<TemporaryFile> file, const TimeTrack &timeTrack)
    : dir(dir), context(std::move(context)), info(info), receiver(receiver), firstTime(-1), lastTime(-1), skipped(0),
      _timeTrack(timeTrack), _file(std::move(file))
{
}

ChunkFile *ChunkFile::openChunk(const QString &dir, StreamInfo *info, QObject *receiver, bool timeTrack,
                                QString *failure)
{
    ffmpeg::OutputContext context(avformat_alloc_context());
    if (!context) {
        *failure = QStringLiteral("out of memory (%1)").arg(dir);
        return nullptr;
    }
    // What exports killed earlier left here goes; what others write stays.
    TemporaryFile::removeLeftovers(dir, [&dir](const QString &leftover) { return Evidence::orphanNameOf(dir, leftover); });
    std::unique_ptr<TemporaryFile> file = TemporaryFile::create(dir, TemporaryFile::kChunkSuffix, failure);
    if (!file)
        return nullptr;
    TimeTrack track;
    if (!startMuxer(context.get(), file->path(), info, timeTrack ? &track : nullptr, failure)) {
        // The file goes: the failure names its folder instead.
        file->discard();
        failure->replace(file->name(), dir);
        return nullptr;
    }
    return new ChunkFile(dir, std::move(context), info, receiver, std::move(file), track);
}

bool ChunkFile::writeBlock(const BlockHeader &header, const QByteArray &data, bool *startNewFile)
{
    *startNewFile = false;
    const int64_t t = header.time;
    if (firstTime == -1) {
        firstTime = t;
        auto *started = new ControllerEvent(ControllerEvent::FileStarted, 0, -1.0, firstTime);
        if (_closer)
            _closer->post(started);
        else if (receiver)
            QCoreApplication::postEvent(receiver, started);
        else
            delete started;
        evidence.markWallClock(0, t);
    }
    // A second without a block ends a stretch of recorded time the file holds.
    if (_spans.empty() || t > lastTime + kSpanBreakMs)
        _spans.push_back(ExportRecord::File::Span{t, t + 1});
    else if (t + 1 > _spans.back().toMs)
        _spans.back().toMs = t + 1;
    if (lastTime != -1 && t > lastTime + kMaxPauseMs) {
        skipped += t - lastTime - kPauseReplacementMs;
        evidence.markWallClock(t - firstTime - skipped, t);
    }
    lastTime = t;

    ffmpeg::ScopedPacket scoped;
    AVPacket &packet = scoped.packet;
    const bool filled = info->fillPacket(header, data, &packet, startNewFile);
    if (!filled || *startNewFile)
        return filled;
    if (!packet.data)
        return true;  // a block of a stream that is not written
    packet.flags = header.isKey() ? AV_PKT_FLAG_KEY : 0;
    packet.pts = t - firstTime - skipped;
    packet.dts = packet.pts;
    int result = _timeTrack.beforeBlock(context.get(), t, packet.pts);
    if (result >= 0)
        result = av_write_frame(context.get(), &packet);
    // The I/O layer buffers: a write that failed (a full disk) shows in its
    // error, possibly a block after the one that caused it.
    if (result >= 0 && context->pb->error < 0)
        result = context->pb->error;
    if (result < 0) {
        qWarning() << "ChunkFile: writing" << _file->name() << "at" << packet.pts << "ms:" << ffmpeg::errorText(result);
        _failure = QStringLiteral("%1 (%2)").arg(ffmpeg::errorText(result), _file->name());
        return false;
    }
    if (header.streamNumber == kVideoStream && _firstKeyFrameMs == -1) {
        if (header.isKey())
            _firstKeyFrameMs = t;
        else
            _videoContinues = true;
    }
    return true;
}

QString ChunkFile::finalName(int64_t firstMs, int64_t lastMs)
{
    return QDateTime::fromMSecsSinceEpoch(firstMs).toString(QLatin1String(kNameFormat)) + QLatin1Char('-') +
           QDateTime::fromMSecsSinceEpoch(lastMs).toString(QLatin1String(kNameFormat)) + QStringLiteral(".mkv");
}

ExportRecord::File ChunkFile::recordEntry() const
{
    ExportRecord::File file;
    file.firstMs = firstTime;
    file.lastMs = lastTime;
    file.spans = _spans;
    file.began = _began;
    file.videoContinues = _videoContinues;
    file.firstKeyFrameMs = _firstKeyFrameMs;
    // The first mark is the file's start; the others are its cut pauses.
    for (size_t i = 1; i < evidence.marks().size(); ++i)
        file.pauses.push_back({evidence.marks()[i].fileMs, evidence.marks()[i].wallClockMs});
    return file;
}

bool ChunkFile::finishMuxing()
{
    if (firstTime != -1)
        evidence.addChapters(context.get(), lastTime - firstTime - skipped);
    // The last cue before the trailer; the trailer whatever became of it.
    const int cue = _timeTrack.finish(context.get());
    const int muxed = av_write_trailer(context.get());
    const int trailer = cue < 0 ? cue : muxed;
    const int closed = avio_closep(&context->pb);
    context.reset();
    if (trailer >= 0 && closed >= 0)
        return true;
    const int error = trailer < 0 ? trailer : closed;
    qWarning() << "ChunkFile: finishing" << _file->name() << ffmpeg::errorText(error);
    if (_failure.isEmpty())
        _failure = QStringLiteral("%1 (%2)").arg(ffmpeg::errorText(error), _file->name());
    return false;
}

ChunkFile::~ChunkFile()
{
    const bool finished = finishMuxing() && _failure.isEmpty();
    if (firstTime == -1) {
        _file->discard();
        return;
    }
    FileCloser::Closed closed;
    closed.complete = finished && Evidence::patchHeader(_file->name(), firstTime, lastTime);
    if (finished && !closed.complete)
        _failure = QStringLiteral("cannot write the file's dates (%1)").arg(_file->name());
    closed.failure = _failure;
    closed.wanted = dir + QLatin1Char('/') + finalName(firstTime, lastTime);
    closed.record = _record;
    closed.entry = recordEntry();
    closed.lastMs = lastTime;
    closed.file = std::move(_file);
    if (_closer) {
        _closer->close(std::move(closed));
    } else {
        FileCloser now(receiver, false);
        now.close(std::move(closed));
    }
}
