#include "plugin/export/ChunkFile.h"

#include "plugin/export/Events.h"
#include "plugin/export/FileCloser.h"
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
// Names tried for one file before giving up: "name.mkv", "name (2).mkv", ...
constexpr int kMaxNameAttempts = 1000;

// Gives `file` the name `to`, or one beside it as "to (N).mkv" when that
// name (or its checksum file) is taken: a finished file is never
// overwritten, whatever other export finishes one of the same name at the
// same moment. Returns the name used, or an empty string on failure.
QString publishWithoutOverwriting(TemporaryFile &file, const QString &to)
{
    const QString stem = to.left(to.size() - 4);  // without ".mkv"
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const QString candidate = attempt == 1 ? to : QStringLiteral("%1 (%2).mkv").arg(stem).arg(attempt);
        if (QFile::exists(Evidence::checksumPath(candidate)))
            continue;
        bool taken = false;
        if (file.publishAs(candidate, &taken))
            return candidate;
        if (!taken)
            return QString();
    }
    qWarning() << "ChunkFile: no free name for" << file.name() << "as" << to;
    return QString();
}

// Sets up the muxer on the file at `path` and writes the header.
bool startMuxer(AVFormatContext *context, const QByteArray &path, StreamInfo *info)
{
    context->oformat = av_guess_format("matroska", nullptr, nullptr);
    context->url = av_strdup(path.constData());
    if (!context->url)
        return false;
    const int opened = avio_open2(&context->pb, path.constData(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (opened < 0) {
        qWarning() << "ChunkFile: cannot open" << QString::fromUtf8(path) << ffmpeg::errorText(opened);
        return false;
    }
    if (!context->oformat || !info->fillStreams(context))
        return false;

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
            qWarning() << "ChunkFile: header of" << QString::fromUtf8(path) << ffmpeg::errorText(written);
        return false;
    }
    return true;
}

}  // namespace

ChunkFile::ChunkFile(const QString &dir, ffmpeg::OutputContext context, StreamInfo *info, QObject *receiver,
                     std::unique_ptr<TemporaryFile> file)
    : dir(dir), context(std::move(context)), info(info), receiver(receiver), firstTime(-1), lastTime(-1), skipped(0),
      _file(std::move(file))
{
}

ChunkFile *ChunkFile::openChunk(const QString &dir, StreamInfo *info, QObject *receiver)
{
    ffmpeg::OutputContext context(avformat_alloc_context());
    if (!context)
        return nullptr;
    // What exports killed earlier left here goes; what others write stays.
    TemporaryFile::removeLeftovers(dir);
    std::unique_ptr<TemporaryFile> file = TemporaryFile::create(dir, TemporaryFile::kChunkSuffix);
    if (!file)
        return nullptr;
    if (!startMuxer(context.get(), file->path(), info)) {
        file->discard();
        return nullptr;
    }
    return new ChunkFile(dir, std::move(context), info, receiver, std::move(file));
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
    const int result = av_write_frame(context.get(), &packet);
    if (result < 0) {
        qWarning() << "ChunkFile: writing" << QString::fromUtf8(context->url) << "at" << packet.pts << "ms:"
                   << ffmpeg::errorText(result);
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

ExportRecord::File ChunkFile::recordEntry(const QString &name) const
{
    ExportRecord::File file;
    file.name = QFileInfo(name).fileName();
    file.firstMs = firstTime;
    file.lastMs = lastTime;
    file.sizeBytes = QFileInfo(name).size();
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
    const int trailer = av_write_trailer(context.get());
    const int closed = avio_closep(&context->pb);
    context.reset();
    if (trailer >= 0 && closed >= 0)
        return true;
    qWarning() << "ChunkFile: finishing" << _file->name() << ffmpeg::errorText(trailer < 0 ? trailer : closed);
    return false;
}

ChunkFile::~ChunkFile()
{
    const bool complete = finishMuxing();
    if (firstTime == -1) {
        _file->discard();
        return;
    }
    Evidence::patchHeader(_file->name(), firstTime, lastTime);
    FileCloser::Closed closed;
    closed.name = publishWithoutOverwriting(*_file, dir + QLatin1Char('/') + finalName(firstTime, lastTime));
    closed.complete = complete;
    closed.record = _record;
    closed.entry = recordEntry(closed.name);
    closed.lastMs = lastTime;
    closed.file = std::move(_file);
    if (_closer) {
        _closer->close(std::move(closed));
    } else {
        FileCloser now(receiver, false);
        now.close(std::move(closed));
    }
}
