#include "plugin/export/Evidence.h"

#include "plugin/export/TemporaryFile.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

// The plain SHA-256 functions rather than EVP: EVP loads OpenSSL's provider
// machinery and configuration, some 2.4 MB of memory and a little start-up
// time, for the same hashing code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <fcntl.h>
#include <memory>

namespace {

constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kInfoId = 0x1549A966;
constexpr uint32_t kCrc32Id = 0xBF;
constexpr uint32_t kTitleId = 0x7BA9;
constexpr uint32_t kDateUtcId = 0x4461;
// Matroska dates count nanoseconds from 2001-01-01T00:00:00 UTC.
constexpr int64_t kMatroskaEpochMs = 978307200000LL;
// The segment information sits right after the EBML header, the seek head
// and its padding; this much of the file always holds it.
constexpr qint64 kHeadBytes = 64 * 1024;
// Large enough to keep the system calls few, small enough to stay in the
// processor's cache between the read and the hash.
constexpr qint64 kHashChunkBytes = 256 << 10;

QString localTime(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QLatin1String(Evidence::kWallClockFormat));
}

QByteArray title(int64_t firstMs, int64_t lastMs)
{
    return (localTime(firstMs) + QStringLiteral(" - ") + localTime(lastMs)).toUtf8();
}

QByteArray creationTime(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddThh:mm:ss.zzz000Z")).toUtf8();
}

// A reader of EBML element headers over a byte buffer.
struct EbmlCursor {
    const uint8_t *data;
    int64_t size;
    int64_t pos;

    // Reads a variable-length number; `keepMarker` keeps the length bit (IDs).
    bool readVint(uint64_t *value, bool keepMarker)
    {
        if (pos >= size)
            return false;
        const uint8_t first = data[pos];
        int length = 1;
        while (length <= 8 && !(first & (0x80 >> (length - 1))))
            ++length;
        if (length > 8 || pos + length > size)
            return false;
        uint64_t v = keepMarker ? first : (first & (0xFF >> length));
        for (int i = 1; i < length; ++i)
            v = v << 8 | data[pos + i];
        pos += length;
        *value = v;
        return true;
    }

    // Reads an element header; `payloadSize` is -1 for an unknown size.
    bool readHeader(uint32_t *id, int64_t *payloadSize)
    {
        uint64_t rawId = 0, rawSize = 0;
        const int64_t sizeStart = pos;
        if (!readVint(&rawId, true))
            return false;
        const int64_t sizeAt = pos;
        if (!readVint(&rawSize, false))
            return false;
        const int sizeLength = int(pos - sizeAt);
        const uint64_t unknown = (uint64_t(1) << (7 * sizeLength)) - 1;
        *id = uint32_t(rawId);
        *payloadSize = rawSize == unknown ? -1 : int64_t(rawSize);
        return sizeStart < pos;
    }
};

}  // namespace

void Evidence::prepareHeader(AVFormatContext *context, int64_t expectedFirstMs)
{
    av_dict_set(&context->metadata, "creation_time", creationTime(expectedFirstMs).constData(), 0);
    av_dict_set(&context->metadata, "title", title(expectedFirstMs, expectedFirstMs).constData(), 0);
}

void Evidence::markWallClock(int64_t fileMs, int64_t wallClockMs)
{
    _marks.push_back(Mark{fileMs, wallClockMs});
}

void Evidence::addChapters(AVFormatContext *context, int64_t fileEndMs) const
{
    for (size_t i = 0; i < _marks.size(); ++i) {
        auto *chapter = static_cast<AVChapter *>(av_mallocz(sizeof(AVChapter)));
        if (!chapter)
            return;
        chapter->id = int64_t(i + 1);
        chapter->time_base = AVRational{1, 1000};
        chapter->start = _marks[i].fileMs;
        chapter->end = i + 1 < _marks.size() ? _marks[i + 1].fileMs : std::max(fileEndMs, chapter->start);
        av_dict_set(&chapter->metadata, "title", localTime(_marks[i].wallClockMs).toUtf8().constData(), 0);
        av_dynarray_add(&context->chapters, reinterpret_cast<int *>(&context->nb_chapters), chapter);
        if (!context->chapters) {
            av_dict_free(&chapter->metadata);
            av_free(chapter);
            context->nb_chapters = 0;
            return;
        }
    }
}

bool Evidence::patchHeader(const QString &path, int64_t firstMs, int64_t lastMs)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        qWarning() << "Evidence: cannot open" << path << file.errorString();
        return false;
    }
    QByteArray head = file.read(kHeadBytes);
    EbmlCursor cursor{reinterpret_cast<const uint8_t *>(head.constData()), head.size(), 0};
    uint32_t id = 0;
    int64_t size = 0;
    // The EBML header, then into the segment, then its children up to the info.
    if (!cursor.readHeader(&id, &size) || size < 0)
        return false;
    cursor.pos += size;
    if (!cursor.readHeader(&id, &size) || id != kSegmentId)
        return false;
    int64_t infoStart = -1, infoEnd = -1;
    while (cursor.readHeader(&id, &size) && size >= 0) {
        if (id == kInfoId) {
            infoStart = cursor.pos;
            infoEnd = cursor.pos + size;
            break;
        }
        cursor.pos += size;
    }
    if (infoStart < 0 || infoEnd > head.size()) {
        qWarning() << "Evidence: no segment information in" << path;
        return false;
    }

    int64_t crcAt = -1, crcCoveredFrom = infoStart;
    bool patchedTitle = false, patchedDate = false;
    const QByteArray newTitle = title(firstMs, lastMs);
    cursor.pos = infoStart;
    while (cursor.pos < infoEnd && cursor.readHeader(&id, &size) && size >= 0) {
        char *payload = head.data() + cursor.pos;
        if (id == kCrc32Id && size == 4) {
            crcAt = cursor.pos;
            crcCoveredFrom = cursor.pos + 4;
        } else if (id == kTitleId && size == newTitle.size()) {
            memcpy(payload, newTitle.constData(), size_t(size));
            patchedTitle = true;
        } else if (id == kDateUtcId && size == 8) {
            const int64_t dateNs = (firstMs - kMatroskaEpochMs) * 1000000;
            for (int i = 0; i < 8; ++i)
                payload[i] = char(uint64_t(dateNs) >> (56 - 8 * i) & 0xff);
            patchedDate = true;
        }
        cursor.pos += size;
    }
    if (!patchedTitle || !patchedDate) {
        qWarning() << "Evidence: date or title missing in" << path;
        return false;
    }
    if (crcAt >= 0) {
        const AVCRC *table = av_crc_get_table(AV_CRC_32_IEEE_LE);
        const uint32_t crc = av_crc(table, UINT32_MAX, reinterpret_cast<const uint8_t *>(head.constData()) + crcCoveredFrom,
                                    size_t(infoEnd - crcCoveredFrom)) ^ UINT32_MAX;
        for (int i = 0; i < 4; ++i)
            head[int(crcAt + i)] = char(crc >> (8 * i) & 0xff);
    }
    const int64_t patchFrom = crcAt >= 0 ? crcAt : infoStart;
    if (!file.seek(patchFrom) ||
        file.write(head.constData() + patchFrom, infoEnd - patchFrom) != infoEnd - patchFrom || !file.flush()) {
        qWarning() << "Evidence: cannot patch" << path << file.errorString();
        return false;
    }
    return true;
}

QString Evidence::orphanNameOf(const QString &dir, const QString &leftover)
{
    const QDir folder(dir);
    QHash<QByteArray, QString> orphans;  // checksum -> the missing file's path
    for (const QString &recordName : folder.entryList({QStringLiteral("export-*.json")}, QDir::Files)) {
        QFile record(folder.filePath(recordName));
        if (!record.open(QIODevice::ReadOnly))
            continue;
        const QJsonArray files = QJsonDocument::fromJson(record.readAll()).object().value(QLatin1String("files")).toArray();
        for (const QJsonValue &value : files) {
            const QJsonObject file = value.toObject();
            const QString target = folder.filePath(file.value(QLatin1String("name")).toString());
            if (target == leftover)
                return leftover;
            const QByteArray sha256 = file.value(QLatin1String("sha256")).toString().toLatin1();
            QFile checksum(checksumPath(target));
            if (sha256.isEmpty() || QFileInfo::exists(target) || !checksum.open(QIODevice::ReadOnly))
                continue;
            // "<64 hex digits>  <file name>", as publishChecksum writes it.
            if (checksum.readAll() == sha256 + "  " + QFileInfo(target).fileName().toUtf8() + "\n")
                orphans.insert(sha256, target);
        }
    }
    return orphans.isEmpty() ? QString() : orphans.value(checksumOf(leftover));
}

QString Evidence::checksumPath(const QString &path)
{
    return path + QStringLiteral(".sha256");
}

bool Evidence::checksumsEnabled()
{
    return qgetenv("VELT_EXPORT_CHECKSUM") != "0";
}

QByteArray Evidence::checksumOf(const QString &path)
{
    if (QFileInfo::exists(checksumPath(path))) {
        qWarning() << "Evidence: not replacing" << checksumPath(path);
        return QByteArray();
    }
    QFile file(path);
    // Read straight into the chunk, front to back, a chunk at a time: the
    // file was just written and sits in the page cache.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qWarning() << "Evidence: cannot read" << path << file.errorString();
        return QByteArray();
    }
    ::posix_fadvise(file.handle(), 0, 0, POSIX_FADV_SEQUENTIAL);
    // OpenSSL's SHA-256 uses the processor's SHA instructions where it has
    // them: several times faster than a portable implementation.
    SHA256_CTX sha;
    if (SHA256_Init(&sha) != 1)
        return QByteArray();
    QByteArray chunk(int(kHashChunkBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0) {
            qWarning() << "Evidence: cannot read" << path << file.errorString();
            return QByteArray();
        }
        if (n == 0)
            break;
        SHA256_Update(&sha, chunk.constData(), size_t(n));
    }
    uint8_t digest[SHA256_DIGEST_LENGTH];
    if (SHA256_Final(digest, &sha) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(digest), SHA256_DIGEST_LENGTH).toHex();
}

bool Evidence::publishChecksum(const QString &path, const QByteArray &sha256, bool *taken, QString *error)
{
    const QByteArray line = sha256 + "  " + QFileInfo(path).fileName().toUtf8() + "\n";
    // Written under a private name and moved into place without replacing:
    // another export may finish a file of the same name at the same moment.
    bool nameTaken = false;
    QString why;
    const bool published =
        TemporaryFile::publishNew(checksumPath(path), TemporaryFile::kChecksumSuffix, line, &nameTaken, &why);
    if (nameTaken)
        qWarning() << "Evidence: not replacing" << checksumPath(path);
    if (taken)
        *taken = nameTaken;
    if (error && !published && !nameTaken)
        *error = why;
    return published;
}
