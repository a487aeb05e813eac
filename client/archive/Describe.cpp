// archive::describe: the per-fragment facts of a fully checked archive.
#include "client/archive/ArchiveComponents.h"
#include "client/archive/ArchiveFolder.h"

namespace archive {

bool describe(const QString &dir, std::vector<FragmentInfo> *fragments, QString *error)
{
    const std::shared_ptr<const ArchiveFolder> archive = ArchiveFolder::open(dir, FragmentFile::Check::Verify, error);
    if (!archive)
        return false;
    for (const std::shared_ptr<FragmentFile> &fragment : archive->fragments()) {
        const FragmentFile::Summary &s = fragment->summary();
        fragments->push_back(FragmentInfo{fragment->startMs(), fragment->endMs(), s.index.videoBlocks,
                                          s.index.audioBlocks, s.index.videoFourcc, s.index.audioFourcc,
                                          s.fileSizeBytes, s.complete, s.status});
    }
    return true;
}

}  // namespace archive
