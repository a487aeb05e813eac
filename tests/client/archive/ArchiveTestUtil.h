// Helpers of the archive tests: recording a scripted archive into a folder
// and reading back what a feed delivers.
#ifndef TESTS_CLIENT_ARCHIVE_ARCHIVETESTUTIL_H_
#define TESTS_CLIENT_ARCHIVE_ARCHIVETESTUTIL_H_

#include "client/archive/ArchiveComponents.h"
#include "client/archive/Recorder.h"
#include "client/media/FourCC.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>
#include <vector>

namespace archivetest {

constexpr uint8_t V = archive::kVideoStream;
constexpr uint8_t A = archive::kAudioStream;
constexpr int64_t kEndMarkerMs = INT64_MAX / 2;

// One block: as appended (key = the video key-frame flag) or as read back
// (key = the delivered flag; an empty payload is a marker).
struct Block {
    uint8_t stream;
    int64_t timeMs;
    bool key;
    QByteArray payload;
    bool operator==(const Block &o) const
    {
        return stream == o.stream && timeMs == o.timeMs && key == o.key && payload == o.payload;
    }
};
std::ostream &operator<<(std::ostream &out, const Block &block);

// A small payload that names its stream and time, so blocks are told apart.
QByteArray payloadFor(uint8_t stream, int64_t timeMs);
// Video block (with its key-frame flag) or audio block with payloadFor.
Block video(int64_t timeMs, bool keyFrame);
// An audio block as a reader sees it: every audio block is key.
Block audio(int64_t timeMs);
// The marker a feed ends with.
Block marker(int64_t timeMs);

// Records `fragments` into a new archive in `dir`; fails the test on error.
void record(const QString &dir, const std::vector<std::vector<Block>> &fragments);

// Everything one feed at `timeMs` delivers, marker included, through a queue
// made by the runtime. Stops after `limit` blocks.
std::vector<Block> feed(IArchiveReader &reader, int64_t timeMs, int limit = 100000);
// Every block of the archive, following the markers as the exporter does
// (read to a marker, feed again at its time). Stops early at a feed that does
// not end with a later marker, so that a comparison of the result fails.
std::vector<Block> readToEnd(IArchiveReader &reader);
// The archive's reader (openSource must succeed).
ComponentRef<IArchiveReader> openReader(const QString &dir);

}  // namespace archivetest

#endif  // TESTS_CLIENT_ARCHIVE_ARCHIVETESTUTIL_H_
