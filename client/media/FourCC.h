// Four-character codes that start every block payload in the stand-in
// client's archive, shared by its recorder, its tools and its codec
// informers. A code is read as a little-endian 32-bit number (byte 0 lowest).
#ifndef CLIENT_MEDIA_FOURCC_H_
#define CLIENT_MEDIA_FOURCC_H_

#include <QByteArray>
#include <cstdint>

namespace fourcc {

constexpr uint32_t make(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

constexpr uint32_t kH264 = make('H', '2', '6', '4');  // Annex-B access units
constexpr uint32_t kHevc = make('H', 'E', 'V', 'C');  // Annex-B access units
constexpr uint32_t kMjpeg = make('M', 'J', 'P', 'G'); // one JPEG picture
constexpr uint32_t kAac = make('A', 'A', 'C', ' ');   // ADTS frames
constexpr uint32_t kUlaw = make('U', 'L', 'A', 'W');  // G.711 mu-law, 8000 Hz mono
constexpr uint32_t kAlaw = make('A', 'L', 'A', 'W');  // G.711 A-law, 8000 Hz mono

constexpr int kSizeBytes = 4;

// The code at the start of `payload`, or 0 when it is shorter than a code.
inline uint32_t of(const QByteArray &payload)
{
    if (payload.size() < kSizeBytes)
        return 0;
    const auto *p = reinterpret_cast<const uint8_t *>(payload.constData());
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline QByteArray bytes(uint32_t code)
{
    const char b[4] = {char(code & 0xff), char(code >> 8 & 0xff), char(code >> 16 & 0xff), char(code >> 24 & 0xff)};
    return QByteArray(b, 4);
}

}  // namespace fourcc

#endif  // CLIENT_MEDIA_FOURCC_H_
