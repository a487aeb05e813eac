// Opening a recorded archive as the client's components: an archive video
// source whose reader, fragment index and block source read the archive
// folder, and the encoded data queue component the block source fills.
//
// Components may be used from any thread; each reference is used by one.
#ifndef CLIENT_ARCHIVE_ARCHIVECOMPONENTS_H_
#define CLIENT_ARCHIVE_ARCHIVECOMPONENTS_H_

#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <QString>
#include <vector>

namespace archive {

// Registers the encoded data queue under its GUID in the runtime
// (idempotent).
void registerComponents();

// The archive in `dir` as an archive video source. Empty with *error set
// when it cannot be opened (missing, not an archive, damaged beyond use).
ComponentRef<IArchiveVideoSource> openSource(const QString &dir, QString *error);

// Per-fragment facts for tools and tests.
struct FragmentInfo {
    int64_t startMs;
    int64_t endMs;           // one past the last block's time
    int64_t videoBlocks;
    int64_t audioBlocks;
    uint32_t videoFourcc;    // 0 when the fragment has no video
    uint32_t audioFourcc;    // 0 when the fragment has no audio
    int64_t sizeBytes;
    bool complete;           // ended cleanly (false: cut off, read up to its last complete block)
    QString status;          // why it is not complete (cut off, damaged at byte N...); empty when complete
};
// Every block of every fragment is checked (a full read of the archive);
// fragments that cannot be read at all are left out with a warning.
bool describe(const QString &dir, std::vector<FragmentInfo> *fragments, QString *error);

// Counts IBlockSource::feed calls made on sources of this process, for
// benchmarks and tests.
uint64_t feedCount();

}  // namespace archive

#endif  // CLIENT_ARCHIVE_ARCHIVECOMPONENTS_H_
