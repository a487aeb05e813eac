#include "client/codecs/LengthPrefixed.h"

#include "client/media/FFmpegHolders.h"

#include <cstring>
#include <vector>

namespace codecs {

namespace {

constexpr uint32_t kSegmentId = 0x18538067;
constexpr uint32_t kTracksId = 0x1654AE6B;
constexpr uint32_t kTrackEntryId = 0xAE;
constexpr uint32_t kCodecPrivateId = 0x63A2;

// Reads one EBML variable-length number at *pos; `keepMarker` for IDs.
// -1 as the value of a size whose bits are all set (unknown size).
bool readVint(const uint8_t *data, int64_t size, int64_t *pos, bool keepMarker, int64_t *value)
{
    if (*pos >= size)
        return false;
    const uint8_t first = data[*pos];
    int length = 1;
    while (length <= 8 && !(first & (0x80 >> (length - 1))))
        ++length;
    if (length > 8 || *pos + length > size)
        return false;
    uint64_t v = keepMarker ? first : (first & (0xFF >> length));
    bool allSet = v == uint64_t(0xFF >> length);
    for (int i = 1; i < length; ++i) {
        allSet = allSet && data[*pos + i] == 0xFF;
        v = v << 8 | data[*pos + i];
    }
    *pos += length;
    *value = !keepMarker && allSet ? -1 : int64_t(v);
    return true;
}

// The payload of the first CodecPrivate of the first track in a Matroska
// header; empty when there is none.
QByteArray codecPrivateOf(const uint8_t *data, int64_t size)
{
    int64_t pos = 0;
    while (pos < size) {
        int64_t id = 0, length = 0;
        if (!readVint(data, size, &pos, true, &id) || !readVint(data, size, &pos, false, &length))
            return QByteArray();
        const int64_t end = length < 0 || pos + length > size ? size : pos + length;
        if (id == kCodecPrivateId)
            return QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(end - pos));
        // Into the elements that lead to it, over all others.
        if (id != kSegmentId && id != kTracksId && id != kTrackEntryId)
            pos = end;
    }
    return QByteArray();
}

// FFmpeg's start code search: the first 00 00 01 with a byte after it,
// taken from the zero before it when there is one.
const uint8_t *findStartCode(const uint8_t *p, const uint8_t *end)
{
    const uint8_t *found = end;
    for (const uint8_t *one = p + 2; one < end - 1; ++one) {
        one = static_cast<const uint8_t *>(std::memchr(one, 1, size_t(end - 1 - one)));
        if (!one)
            break;
        if (one[-1] == 0 && one[-2] == 0) {
            found = one - 2;
            break;
        }
    }
    if (p < found && found < end && found[-1] == 0)
        --found;
    return found;
}

}  // namespace

QByteArray lengthPrefixedConfig(AVCodecID codecId, int width, int height, QByteArrayView annexB)
{
    if (annexB.isEmpty())
        return QByteArray();
    media::FormatContextHolder muxer;
    AVFormatContext *made = nullptr;
    if (avformat_alloc_output_context2(&made, nullptr, "matroska", nullptr) < 0)
        return QByteArray();
    muxer.reset(made);
    AVStream *stream = avformat_new_stream(made, nullptr);
    if (!stream)
        return QByteArray();
    made->flags |= AVFMT_FLAG_BITEXACT | AVFMT_FLAG_CUSTOM_IO;
    AVCodecParameters *par = stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = codecId;
    par->width = width;
    par->height = height;
    par->extradata = static_cast<uint8_t *>(av_mallocz(size_t(annexB.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata)
        return QByteArray();
    std::memcpy(par->extradata, annexB.data(), size_t(annexB.size()));
    par->extradata_size = int(annexB.size());
    stream->time_base = AVRational{1, 1000};
    if (avio_open_dyn_buf(&made->pb) < 0)
        return QByteArray();
    const int written = avformat_write_header(made, nullptr);
    uint8_t *header = nullptr;
    const int headerBytes = avio_close_dyn_buf(made->pb, &header);
    made->pb = nullptr;
    QByteArray config;
    if (written >= 0 && header)
        config = codecPrivateOf(header, headerBytes);
    av_free(header);
    // A record starts with its version, 1; Annex B with a zero byte.
    return !config.isEmpty() && config[0] == 1 ? config : QByteArray();
}

namespace {

struct Nal {
    const uint8_t *start;
    int64_t sizeBytes;
};

// The NAL units of the Annex B `payload` as FFmpeg's muxers split them;
// returns their total size. `nals` keeps its storage from call to call.
int64_t splitNals(QByteArrayView payload, std::vector<Nal> *nals)
{
    const auto *p = reinterpret_cast<const uint8_t *>(payload.data());
    const uint8_t *end = p + payload.size();
    nals->clear();
    int64_t totalBytes = 0;
    const uint8_t *nal = findStartCode(p, end);
    for (;;) {
        while (nal < end && !*(nal++)) {
        }
        if (nal == end)
            break;
        const uint8_t *next = findStartCode(nal, end);
        nals->push_back(Nal{nal, next - nal});
        totalBytes += next - nal;
        nal = next;
    }
    return totalBytes;
}

}  // namespace

QByteArray withoutTrailingZeros(QByteArrayView annexB)
{
    std::vector<Nal> nals;
    splitNals(annexB, &nals);
    QByteArray units;
    for (Nal nal : nals) {
        while (nal.sizeBytes > 0 && nal.start[nal.sizeBytes - 1] == 0)
            --nal.sizeBytes;
        units.append("\0\0\0\1", 4).append(reinterpret_cast<const char *>(nal.start), qsizetype(nal.sizeBytes));
    }
    return units;
}

bool packLengthPrefixed(QByteArrayView payload, AVPacket *packet)
{
    // Every video block passes here: the list keeps its storage from block
    // to block instead of allocating it each time.
    thread_local std::vector<Nal> nals;
    const int64_t totalBytes = splitNals(payload, &nals) + 4 * int64_t(nals.size());
    if (av_new_packet(packet, int(totalBytes)) < 0)
        return false;
    uint8_t *out = packet->data;
    for (const Nal &n : nals) {
        const auto size = uint32_t(n.sizeBytes);
        out[0] = uint8_t(size >> 24);
        out[1] = uint8_t(size >> 16);
        out[2] = uint8_t(size >> 8);
        out[3] = uint8_t(size);
        std::memcpy(out + 4, n.start, size_t(n.sizeBytes));
        out += 4 + n.sizeBytes;
    }
    return true;
}

}  // namespace codecs
