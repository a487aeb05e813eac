#include "client/archive/Format.h"

#include <QtEndian>
#include <cstring>
#include <isa-l/crc.h>

namespace archive::format {

namespace {

template <class T>
void put(char *out, int offset, T value)
{
    qToLittleEndian<T>(value, out + offset);
}

template <class T>
T get(const char *in, int offset)
{
    return qFromLittleEndian<T>(in + offset);
}

bool hasMagic(const char *data, const char *magic)
{
    return std::memcmp(data, magic, kMagicSizeBytes) == 0;
}

QString numberedName(int64_t fragmentId, const char *suffix)
{
    return QStringLiteral("%1%2").arg(fragmentId, 8, 10, QLatin1Char('0')).arg(QLatin1String(suffix));
}

// Block header fields.
constexpr int kBlockSize = 0, kBlockStream = 4, kBlockFlags = 5, kBlockTime = 8, kBlockPayloadCrc = 16,
              kBlockHeaderCrc = 20;
// Fragment header fields.
constexpr int kFragVersion = 8, kFragHeaderSize = 12, kFragId = 16, kFragCrc = 28;
// Index header fields.
constexpr int kIdxVersion = 8, kIdxHeaderSize = 12, kIdxId = 16, kIdxDataSize = 24, kIdxBlocks = 32,
              kIdxVideoBlocks = 40, kIdxAudioBlocks = 48, kIdxFirstTime = 56, kIdxLastTime = 64,
              kIdxVideoFourcc = 72, kIdxAudioFourcc = 76, kIdxKeyCount = 80, kIdxEntriesCrc = 88, kIdxCrc = 92;

}  // namespace

uint32_t crc32Of(const char *data, size_t sizeBytes)
{
    // ISA-L computes zlib's CRC-32 with carry-less multiplication, several
    // times faster than zlib's tables; the reader checks every payload it
    // hands out, so this sits on the export's hot path.
    return crc32_gzip_refl(0, reinterpret_cast<const unsigned char *>(data), sizeBytes);
}

QString fragmentFileName(int64_t fragmentId) { return numberedName(fragmentId, kFragmentSuffix); }
QString indexFileName(int64_t fragmentId) { return numberedName(fragmentId, kIndexSuffix); }
QString indexTempFileName(int64_t fragmentId) { return numberedName(fragmentId, kIndexTempSuffix); }

int64_t fragmentIdOf(const QString &name)
{
    const QLatin1String suffix(kFragmentSuffix);
    if (!name.endsWith(suffix) || name.size() != 8 + suffix.size())
        return -1;
    bool ok = false;
    const qlonglong id = name.left(8).toLongLong(&ok);
    return ok && id > 0 ? id : -1;
}

QByteArray encodeFragmentHeader(int64_t fragmentId)
{
    QByteArray out(kFragmentHeaderSizeBytes, '\0');
    char *p = out.data();
    std::memcpy(p, kFragmentMagic, kMagicSizeBytes);
    put<uint32_t>(p, kFragVersion, kVersion);
    put<uint32_t>(p, kFragHeaderSize, kFragmentHeaderSizeBytes);
    put<int64_t>(p, kFragId, fragmentId);
    put<uint32_t>(p, kFragCrc, crc32Of(p, kFragCrc));
    return out;
}

bool decodeFragmentHeader(const char *data, int64_t sizeBytes, int64_t *fragmentId, QString *error)
{
    if (sizeBytes < kFragmentHeaderSizeBytes) {
        *error = QStringLiteral("shorter than its %1-byte header").arg(kFragmentHeaderSizeBytes);
        return false;
    }
    if (!hasMagic(data, kFragmentMagic)) {
        *error = QStringLiteral("not a fragment file (bad magic)");
        return false;
    }
    if (get<uint32_t>(data, kFragCrc) != crc32Of(data, kFragCrc)) {
        *error = QStringLiteral("fragment header checksum mismatch");
        return false;
    }
    if (get<uint32_t>(data, kFragVersion) != kVersion
        || get<uint32_t>(data, kFragHeaderSize) != uint32_t(kFragmentHeaderSizeBytes)) {
        *error = QStringLiteral("unsupported format version %1").arg(get<uint32_t>(data, kFragVersion));
        return false;
    }
    *fragmentId = get<int64_t>(data, kFragId);
    return true;
}

void encodeBlockHeader(const BlockHeader &header, char *out)
{
    std::memset(out, 0, kBlockHeaderSizeBytes);
    put<uint32_t>(out, kBlockSize, header.payloadSizeBytes);
    out[kBlockStream] = char(header.streamNumber);
    out[kBlockFlags] = char(header.flags);
    put<int64_t>(out, kBlockTime, header.timeMs);
    put<uint32_t>(out, kBlockPayloadCrc, header.payloadCrc);
    put<uint32_t>(out, kBlockHeaderCrc, crc32Of(out, kBlockHeaderCrc));
}

bool decodeBlockHeader(const char *in, BlockHeader *header)
{
    if (get<uint32_t>(in, kBlockHeaderCrc) != crc32Of(in, kBlockHeaderCrc))
        return false;
    header->payloadSizeBytes = get<uint32_t>(in, kBlockSize);
    header->streamNumber = uint8_t(in[kBlockStream]);
    header->flags = uint8_t(in[kBlockFlags]);
    header->timeMs = get<int64_t>(in, kBlockTime);
    header->payloadCrc = get<uint32_t>(in, kBlockPayloadCrc);
    return header->payloadSizeBytes >= kMinPayloadSizeBytes && header->payloadSizeBytes <= kMaxPayloadSizeBytes
        && header->timeMs >= kMinTimeMs && header->timeMs <= kMaxTimeMs;
}

QByteArray encodeIndexHeader(const IndexHeader &header)
{
    QByteArray out(kIndexHeaderSizeBytes, '\0');
    char *p = out.data();
    std::memcpy(p, kIndexMagic, kMagicSizeBytes);
    put<uint32_t>(p, kIdxVersion, kIndexVersion);
    put<uint32_t>(p, kIdxHeaderSize, kIndexHeaderSizeBytes);
    put<int64_t>(p, kIdxId, header.fragmentId);
    put<int64_t>(p, kIdxDataSize, header.dataSizeBytes);
    put<int64_t>(p, kIdxBlocks, header.blockCount);
    put<int64_t>(p, kIdxVideoBlocks, header.videoBlocks);
    put<int64_t>(p, kIdxAudioBlocks, header.audioBlocks);
    put<int64_t>(p, kIdxFirstTime, header.firstTimeMs);
    put<int64_t>(p, kIdxLastTime, header.lastTimeMs);
    put<uint32_t>(p, kIdxVideoFourcc, header.videoFourcc);
    put<uint32_t>(p, kIdxAudioFourcc, header.audioFourcc);
    put<int64_t>(p, kIdxKeyCount, header.keyCount);
    put<uint32_t>(p, kIdxEntriesCrc, header.entriesCrc);
    put<uint32_t>(p, kIdxCrc, crc32Of(p, kIdxCrc));
    return out;
}

bool decodeIndexHeader(const char *data, int64_t sizeBytes, IndexHeader *header)
{
    if (sizeBytes < kIndexHeaderSizeBytes || !hasMagic(data, kIndexMagic)
        || get<uint32_t>(data, kIdxCrc) != crc32Of(data, kIdxCrc) || get<uint32_t>(data, kIdxVersion) != kIndexVersion
        || get<uint32_t>(data, kIdxHeaderSize) != uint32_t(kIndexHeaderSizeBytes))
        return false;
    header->fragmentId = get<int64_t>(data, kIdxId);
    header->dataSizeBytes = get<int64_t>(data, kIdxDataSize);
    header->blockCount = get<int64_t>(data, kIdxBlocks);
    header->videoBlocks = get<int64_t>(data, kIdxVideoBlocks);
    header->audioBlocks = get<int64_t>(data, kIdxAudioBlocks);
    header->firstTimeMs = get<int64_t>(data, kIdxFirstTime);
    header->lastTimeMs = get<int64_t>(data, kIdxLastTime);
    header->videoFourcc = get<uint32_t>(data, kIdxVideoFourcc);
    header->audioFourcc = get<uint32_t>(data, kIdxAudioFourcc);
    header->keyCount = get<int64_t>(data, kIdxKeyCount);
    header->entriesCrc = get<uint32_t>(data, kIdxEntriesCrc);
    return header->keyCount >= 0 && header->blockCount > 0 && header->firstTimeMs <= header->lastTimeMs
        && sizeBytes == kIndexHeaderSizeBytes + header->keyCount * kIndexEntrySizeBytes;
}

void encodeIndexEntry(const IndexEntry &entry, char *out)
{
    put<int64_t>(out, 0, entry.timeMs);
    put<int64_t>(out, 8, entry.offsetBytes);
}

IndexEntry decodeIndexEntry(const char *in) { return IndexEntry{get<int64_t>(in, 0), get<int64_t>(in, 8)}; }

}  // namespace archive::format
