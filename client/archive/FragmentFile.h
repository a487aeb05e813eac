// FragmentFile: one fragment of an opened archive. It knows the fragment's
// summary (from its index, or from one scan of the blocks when the index is
// missing or does not match) and finds where a feed starts with a binary
// search in the key table. Cursors read the blocks themselves.
//
// Shared (std::shared_ptr) by the opened archive and the cursors reading it;
// any thread. The summary is immutable; the lazily made key table (and the
// index mapping it views) are guarded by a mutex and never change once made.
#ifndef CLIENT_ARCHIVE_FRAGMENTFILE_H_
#define CLIENT_ARCHIVE_FRAGMENTFILE_H_

#include "client/archive/Format.h"
#include "client/archive/MappedFile.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

namespace archive {

// One block as it lies in a fragment file's bytes.
struct BlockView {
    format::BlockHeader header;
    const char *payload = nullptr;
    int64_t nextOffsetBytes = 0;
};

enum class BlockCheck { Ok, End, CutOff, BadHeader, BadPayload };

// Checks and decodes the block at `offsetBytes` of a fragment file's bytes.
// End: the file ends exactly there. CutOff: a block begins there but the file
// ends inside it. Bad*: a checksum fails or a field is out of range.
BlockCheck checkBlockAt(const char *data, int64_t sizeBytes, int64_t offsetBytes, BlockView *out);

class FragmentFile {
public:
    // Trust: believe an index that matches the file (its entries are checked
    // when first used). Verify: scan every block and compare with the index.
    enum class Check { Trust, Verify };

    struct Summary {
        format::IndexHeader index;  // as the index says, or as a scan found
        int64_t fileSizeBytes = 0;
        int64_t dataEndBytes = 0;  // where the last readable block ends
        bool complete = false;     // ended cleanly and undamaged as far as checked
        QString status;            // why it is not complete; empty otherwise
    };

    // Null with *error set when the fragment has no readable block.
    static std::shared_ptr<FragmentFile> open(const QDir &dir, int64_t fragmentId, Check check, QString *error);

    const Summary &summary() const { return _summary; }
    int64_t startMs() const { return _summary.index.firstTimeMs; }
    int64_t lastMs() const { return _summary.index.lastTimeMs; }
    int64_t endMs() const { return lastMs() + 1; }
    bool hasVideo() const { return _summary.index.videoBlocks > 0; }

    // Where the fragment's blocks are stored.
    QString dataPath() const { return path(format::fragmentFileName(_fragmentId)); }
    // Offset of the block a feed at `timeMs` (inside this fragment) starts
    // with: the first of the latest key blocks at or before it, else the first
    // block.
    int64_t feedOffset(int64_t timeMs);
    // Prints a warning the first time damage is found while reading.
    void reportDamage(int64_t offsetBytes, BlockCheck check);

private:
    FragmentFile(const QDir &dir, int64_t fragmentId) : _dir(dir), _fragmentId(fragmentId) {}
    QString path(const QString &name) const { return _dir.filePath(name); }
    bool loadIndexHeader(int64_t fileSizeBytes, format::IndexHeader *header) const;
    // An index header that decodes and describes this fragment's file of `fileSizeBytes`.
    bool indexHeaderFits(const char *data, int64_t sizeBytes, int64_t fileSizeBytes, format::IndexHeader *header) const;
    // A fragment header that decodes and names this fragment; *problem says why not.
    bool fragmentHeaderFits(const char *data, int64_t sizeBytes, QString *problem) const;
    // The fragment file starts with its header (checked before an index is trusted).
    bool hasGoodHeader() const;
    // Maps and scans the file; fills the summary (but `complete`) and the key table.
    bool scan(format::IndexHeader *scanned, QString *error);
    const QByteArray &keyTable();

    const QDir _dir;
    const int64_t _fragmentId;
    Summary _summary;  // set by open, then immutable

    std::mutex _mutex;
    std::shared_ptr<const MappedFile> _index;  // guarded by _mutex; made once; _keys may view it
    QByteArray _keys;                          // guarded by _mutex; encoded IndexEntry records
    bool _keysReady = false;                   // guarded by _mutex
    std::atomic<bool> _damageReported{false};
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_FRAGMENTFILE_H_
