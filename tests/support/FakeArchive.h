// A scripted stand-in for a channel's recorded archive and for the codecs
// that describe its blocks, as the plug-in sees them through the client's
// interfaces.
//
// The archive is held through a shared pointer that every component made
// from it keeps, so a test may change it after handing out a source. A feed
// from t delivers the script's blocks with atMs >= t, in script order, into
// a queue made by registerQueue()'s factory.
//
// The informers are ready after a set number of key blocks, describe every
// stream as 8 kHz mono mu-law audio (which the Matroska muxer takes as it
// is) and pack a block's bytes after its four-character code unchanged. A
// block beginning with "FAIL" cannot be packed; one beginning with "NEWF"
// asks for a new file unless it is the first the informer packs.
#ifndef TESTS_SUPPORT_FAKEARCHIVE_H_
#define TESTS_SUPPORT_FAKEARCHIVE_H_

#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <vector>

namespace fakes {

// One block as the queue delivers it, at position atMs of the archive.
// Markers (video blocks without data) may report time 0.
struct Block {
    QByteArray data;
    uint32_t streamNumber;
    bool key;
    int64_t timeMs;
    int64_t atMs;
};

// A block of `sizeBytes` (at least 4) beginning with `fourcc` ("VID1" for
// stream 0, "AUD1" otherwise, when null).
Block block(uint32_t streamNumber, int64_t timeMs, bool key = true, int sizeBytes = 16, const char *fourcc = nullptr);
inline Block video(int64_t t, bool key = true, int sizeBytes = 16, const char *fourcc = "VID1")
{
    return block(0, t, key, sizeBytes, fourcc);
}
inline Block audio(int64_t t, bool key = true, int sizeBytes = 16, const char *fourcc = "AUD1")
{
    return block(8, t, key, sizeBytes, fourcc);
}
// `b` stored at another position than its time.
inline Block storedAt(Block b, int64_t atMs)
{
    b.atMs = atMs;
    return b;
}
inline Block marker(int64_t timeMs, int64_t atMs) { return Block{QByteArray(), 0, false, timeMs, atMs}; }

struct Archive {
    // Gives the next block of a feed; false when there is nothing more now.
    using Generator = std::function<bool(Block *)>;

    // One fragment per [start, end) pair; the bounds from the first and last.
    void setFragments(const std::vector<std::pair<int64_t, int64_t>> &ranges);

    std::vector<Fragment> fragments;
    int64_t firstMs = 0;  // the reader's and the fragment index's bounds
    int64_t lastMs = 0;
    bool hasReader = true;
    bool hasIndex = true;
    bool hasBlockSource = true;
    std::vector<Block> script;
    // What a feed from `fromMs` delivers; empty: the script as above.
    std::function<Generator(int64_t fromMs)> feed;
};

ComponentRef<IArchiveVideoSource> archiveSource(const std::shared_ptr<Archive> &archive);
// Publishes the encoded data queue in the runtime under its GUID (until
// velt::unregisterFactory).
void registerQueue();
// A format manager whose informers are ready after `readyAfterKeyBlocks` key
// blocks (negative: never).
ComponentRef<IPolymorph> formatManager(int readyAfterKeyBlocks = 1);

}  // namespace fakes

#endif  // TESTS_SUPPORT_FAKEARCHIVE_H_
