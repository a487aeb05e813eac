#include "plugin/export/ChunkFile.h"

#include "plugin/export/Events.h"
#include "plugin/export/ExportRecord.h"
#include "plugin/export/FFmpeg.h"
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

void post(QObject *receiver, uint32_t kind, int64_t time)
{
    if (receiver)
        QCoreApplication::postEvent(receiver, new ControllerEvent(kind, 0, -1.0, time));
}

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

ChunkFile::ChunkFile(const QString &dir, AVFormatContext *context, StreamInfo *info, QObject *receiver,
                     std::unique_ptr<TemporaryFile> file)
    : dir(dir), context(context), info(info), receiver(receiver), firstTime(-1), lastTime(-1), skipped(0),
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
    return new ChunkFile(dir, context.release(), info, receiver, std::move(file));
}

bool ChunkFile::writeBlock(const BlockHeader &header, const QByteArray &data, bool *startNewFile)
{
    *startNewFile = false;
    const int64_t t = header.time;
    if (firstTime == -1) {
        firstTime = t;
        post(receiver, ControllerEvent::FileStarted, firstTime);
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
    const int result = av_write_frame(context, &packet);
    if (result < 0) {
        qWarning() << "ChunkFile: writing" << QString::fromUtf8(context->url) << "at" << packet.pts << "ms:"
                   << ffmpeg::errorText(result);
        return false;
    }
    return true;
}

QString ChunkFile::finalName(int64_t firstMs, int64_t lastMs)
{
    return QDateTime::fromMSecsSinceEpoch(firstMs).toString(QLatin1String(kNameFormat)) + QLatin1Char('-') +
           QDateTime::fromMSecsSinceEpoch(lastMs).toString(QLatin1String(kNameFormat)) + QStringLiteral(".mkv");
}

void ChunkFile::enterInRecord(const QString &name, const QByteArray &sha256) const
{
    ExportRecord::File file;
    file.name = QFileInfo(name).fileName();
    file.firstMs = firstTime;
    file.lastMs = lastTime;
    file.sizeBytes = QFileInfo(name).size();
    file.sha256 = sha256;
    // The first mark is the file's start; the others are its cut pauses.
    for (size_t i = 1; i < evidence.marks().size(); ++i)
        file.pauses.push_back({evidence.marks()[i].fileMs, evidence.marks()[i].wallClockMs});
    _record->addFile(file);
}

ChunkFile::~ChunkFile()
{
    const QString temporary = _file->name();
    if (firstTime != -1)
        evidence.addChapters(context, lastTime - firstTime - skipped);
    const int trailer = av_write_trailer(context);
    const int closed = avio_closep(&context->pb);
    avformat_free_context(context);
    if (trailer < 0 || closed < 0)
        qWarning() << "ChunkFile: finishing" << temporary << ffmpeg::errorText(trailer < 0 ? trailer : closed);
    if (firstTime != -1) {
        Evidence::patchHeader(temporary, firstTime, lastTime);
        const QString name = publishWithoutOverwriting(*_file, dir + QLatin1Char('/') + finalName(firstTime, lastTime));
        // Only a file that was finished completely gets a checksum.
        QByteArray sha256;
        if (!name.isEmpty() && trailer >= 0 && closed >= 0 && Evidence::checksumsEnabled())
            sha256 = Evidence::writeChecksum(name);
        if (_record && !name.isEmpty())
            enterInRecord(name, sha256);
        post(receiver, ControllerEvent::FileClosed, lastTime);
    } else {
        _file->discard();
    }
    // Only now, with the file finished and named, does _file release its lock.
}
