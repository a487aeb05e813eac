// A scripted stand-in for a channel's recorded archive and for the codecs
// that describe its blocks, through the client's interfaces. The archive is
// held through a shared pointer that all its components keep, so a test may
// change it after handing out a source. The informers describe every stream
// as 8 kHz mono mu-law audio (which the Matroska muxer takes as it is) and
// pack a block's bytes after its four-character code unchanged; a block
// beginning with "FAIL" cannot be packed, and one beginning with "NEWF" asks
// for a new file unless it is the first the informer packs.
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
inline Block video(int64_t t, bool key = true, int size = 16, const char *code = nullptr) { return block(0, t, key, size, code); }
inline Block audio(int64_t t, bool key = true, int size = 16, const char *code = nullptr) { return block(8, t, key, size, code); }
// `b` stored at another position than its time.
inline Block storedAt(Block b, int64_t atMs) { return b.atMs = atMs, b; }
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
    // What a feed from `fromMs` delivers; empty: the script's blocks with
    // atMs >= fromMs, in script order.
    std::function<Generator(int64_t fromMs)> feed;
    int feeds = 0;  // feeds asked for
};

// A feed without end from its start on: video, and audio 1 ms after it,
// every 40 ms; dry after every `dryEvery` blocks (0: never).
std::function<Archive::Generator(int64_t fromMs)> endlessFeed(int dryEvery = 0);

ComponentRef<IArchiveVideoSource> archiveSource(const std::shared_ptr<Archive> &archive);
// Publishes the encoded data queue in the runtime under its GUID (until
// velt::unregisterFactory).
void registerQueue();
// A format manager whose informers are ready after `readyAfterKeyBlocks` key
// blocks (negative: never).
ComponentRef<IPolymorph> formatManager(int readyAfterKeyBlocks = 1);

}  // namespace fakes

#endif  // TESTS_SUPPORT_FAKEARCHIVE_H_
