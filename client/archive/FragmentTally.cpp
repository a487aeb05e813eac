#include "client/archive/FragmentTally.h"

#include "client/archive/Recorder.h"
#include "client/media/FourCC.h"

namespace archive {

bool isKeyBlock(uint8_t flags, uint8_t streamNumber)
{
    return (flags & format::kKeyFlag) || streamNumber == kAudioStream;
}

void FragmentTally::add(const format::BlockHeader &header, const char *payload, int64_t offsetBytes)
{
    const uint32_t code = fourcc::of(QByteArray::fromRawData(payload, fourcc::kSizeBytes));
    if (_header.blockCount == 0)
        _header.firstTimeMs = header.timeMs;
    _header.lastTimeMs = header.timeMs;
    ++_header.blockCount;
    const format::IndexEntry entry{header.timeMs, offsetBytes};
    if (header.streamNumber == kVideoStream) {
        ++_header.videoBlocks;
        _header.videoFourcc = code;
        std::vector<format::IndexEntry>().swap(_audio);
        if (header.flags & format::kKeyFlag)
            _videoKeys.push_back(entry);
    } else if (header.streamNumber == kAudioStream) {
        ++_header.audioBlocks;
        _header.audioFourcc = code;
        if (!hasVideo())
            _audio.push_back(entry);
    }
}

const std::vector<format::IndexEntry> &FragmentTally::keys() const { return hasVideo() ? _videoKeys : _audio; }

QByteArray FragmentTally::encodedKeys() const
{
    const std::vector<format::IndexEntry> &table = keys();
    QByteArray out(qsizetype(table.size()) * format::kIndexEntrySizeBytes, '\0');
    char *p = out.data();
    for (const format::IndexEntry &entry : table) {
        format::encodeIndexEntry(entry, p);
        p += format::kIndexEntrySizeBytes;
    }
    return out;
}

format::IndexHeader FragmentTally::indexHeader(int64_t fragmentId, int64_t dataSizeBytes) const
{
    format::IndexHeader header = _header;
    header.fragmentId = fragmentId;
    header.dataSizeBytes = dataSizeBytes;
    header.keyCount = int64_t(keys().size());
    const QByteArray entries = encodedKeys();
    header.entriesCrc = format::crc32Of(entries.constData(), size_t(entries.size()));
    return header;
}

}  // namespace archive
