// ArchiveFolder: an archive folder opened for reading. It lists the readable
// fragments in time order and answers where a feed at a given time starts.
//
// Shared (std::shared_ptr) by every component made from one opened archive
// and by the cursors of queues fed from it. Immutable after open; any thread.
#ifndef CLIENT_ARCHIVE_ARCHIVEFOLDER_H_
#define CLIENT_ARCHIVE_ARCHIVEFOLDER_H_

#include "client/archive/FragmentFile.h"

#include <QString>
#include <memory>
#include <vector>

namespace archive {

class ArchiveFolder {
public:
    // Null with *error set when `dir` is missing, not an archive, or has
    // fragment files of which none is readable. Unreadable fragments, and
    // fragments overlapping an earlier one, are skipped with a warning.
    static std::shared_ptr<const ArchiveFolder> open(const QString &dir, FragmentFile::Check check, QString *error);

    const QString &dir() const { return _dir; }
    const std::vector<std::shared_ptr<FragmentFile>> &fragments() const { return _fragments; }
    // Problems of the fragment files that were skipped, one line each.
    const QStringList &skipped() const { return _skipped; }

    // Where a feed at `timeMs` starts: a fragment (fragments().size() when
    // only the end marker is left) and the offset of its first block to read.
    struct Position {
        size_t fragment;
        int64_t offsetBytes;
    };
    Position feedPosition(int64_t timeMs) const;
    // Time of the marker after fragment `fragment`: the next one's start, or
    // the end marker time after the last.
    int64_t markerTimeAfter(size_t fragment) const;

private:
    size_t firstEndingAfter(int64_t timeMs) const;

    QString _dir;
    std::vector<std::shared_ptr<FragmentFile>> _fragments;
    QStringList _skipped;
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_ARCHIVEFOLDER_H_
