// Byte layout of the on-disk archive (docs/archive-format.md), shared by the
// recorder and the reader: file names, sizes, magic numbers, and the encoding
// of fragment headers, block headers and index headers.
//
// Pure functions and constants; any thread.
#ifndef CLIENT_ARCHIVE_FORMAT_H_
#define CLIENT_ARCHIVE_FORMAT_H_

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace archive::format {

constexpr char kMarkerFileName[] = "archive.txt";
constexpr char kMarkerText[] = "velt-archive 1\n";
constexpr char kFragmentSuffix[] = ".frag";
constexpr char kIndexSuffix[] = ".idx";
constexpr char kIndexTempSuffix[] = ".idx.tmp";

constexpr uint32_t kVersion = 1;
// Version 2 indexes list only the blocks a feed may start at (see "Key
// flags"); a version 1 index also lists audio blocks, so it is rebuilt.
constexpr uint32_t kIndexVersion = 2;

constexpr char kFragmentMagic[] = "VELTFRAG";  // 8 bytes on disk, no terminator
constexpr char kIndexMagic[] = "VELTINDX";
constexpr int kMagicSizeBytes = 8;

constexpr int kFragmentHeaderSizeBytes = 32;
constexpr int kBlockHeaderSizeBytes = 24;
constexpr int kIndexHeaderSizeBytes = 96;
constexpr int kIndexEntrySizeBytes = 16;

constexpr uint32_t kMinPayloadSizeBytes = 4;  // the four-character code
constexpr uint32_t kMaxPayloadSizeBytes = 1u << 30;

constexpr uint8_t kKeyFlag = 0x01;

// Valid block times. The top of the range stays clear of the end marker.
constexpr int64_t kMinTimeMs = 1;
constexpr int64_t kEndMarkerTimeMs = std::numeric_limits<int64_t>::max() / 2;
constexpr int64_t kMaxTimeMs = kEndMarkerTimeMs - 1;

uint32_t crc32Of(const char *data, size_t sizeBytes);

// "00000001.frag" and friends.
QString fragmentFileName(int64_t fragmentId);
QString indexFileName(int64_t fragmentId);
QString indexTempFileName(int64_t fragmentId);
// The id of a fragment file name, or -1 when `name` is not one.
int64_t fragmentIdOf(const QString &name);

QByteArray encodeFragmentHeader(int64_t fragmentId);
// Reads the header at the start of a fragment file of `sizeBytes` bytes.
bool decodeFragmentHeader(const char *data, int64_t sizeBytes, int64_t *fragmentId, QString *error);

struct BlockHeader {
    uint32_t payloadSizeBytes = 0;
    uint8_t streamNumber = 0;
    uint8_t flags = 0;
    int64_t timeMs = 0;
    uint32_t payloadCrc = 0;
};

// Writes kBlockHeaderSizeBytes bytes, header CRC included.
void encodeBlockHeader(const BlockHeader &header, char *out);
// False when the header's own CRC fails or a field is out of range.
bool decodeBlockHeader(const char *in, BlockHeader *header);

struct IndexHeader {
    int64_t fragmentId = 0;
    int64_t dataSizeBytes = 0;  // of the .frag file described
    int64_t blockCount = 0;
    int64_t videoBlocks = 0;
    int64_t audioBlocks = 0;
    int64_t firstTimeMs = 0;
    int64_t lastTimeMs = 0;
    uint32_t videoFourcc = 0;
    uint32_t audioFourcc = 0;
    int64_t keyCount = 0;
    uint32_t entriesCrc = 0;
};

struct IndexEntry {
    int64_t timeMs;
    int64_t offsetBytes;  // of the block header in the .frag file
};

QByteArray encodeIndexHeader(const IndexHeader &header);
// False when `sizeBytes` cannot hold the header, the magic, version or CRC fail.
bool decodeIndexHeader(const char *data, int64_t sizeBytes, IndexHeader *header);
void encodeIndexEntry(const IndexEntry &entry, char *out);
IndexEntry decodeIndexEntry(const char *in);

}  // namespace archive::format

#endif  // CLIENT_ARCHIVE_FORMAT_H_
