#include "client/archive/ArchiveFolder.h"

#include <QDir>
#include <QFile>
#include <QtDebug>
#include <algorithm>

namespace archive {

std::shared_ptr<const ArchiveFolder> ArchiveFolder::open(const QString &dir, FragmentFile::Check check, QString *error)
{
    const QDir folder(dir);
    if (!folder.exists()) {
        *error = QStringLiteral("%1: no such folder").arg(dir);
        return nullptr;
    }
    QFile marker(folder.filePath(QLatin1String(format::kMarkerFileName)));
    if (!marker.open(QIODevice::ReadOnly) || marker.read(64) != QByteArray(format::kMarkerText)) {
        *error = QStringLiteral("%1 is not an archive of this format (no valid %2)")
                     .arg(dir, QLatin1String(format::kMarkerFileName));
        return nullptr;
    }
    auto archive = std::make_shared<ArchiveFolder>();
    archive->_dir = folder.absolutePath();
    const QStringList names = folder.entryList({QStringLiteral("*") + QLatin1String(format::kFragmentSuffix)},
                                               QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const int64_t id = format::fragmentIdOf(name);
        if (id < 0)
            continue;
        QString problem;
        std::shared_ptr<FragmentFile> fragment = FragmentFile::open(folder, id, check, &problem);
        if (fragment && !archive->_fragments.empty() && fragment->startMs() < archive->_fragments.back()->endMs()) {
            problem = QStringLiteral("fragment %1 overlaps the one before it").arg(name);
            fragment.reset();
        }
        if (!fragment) {
            qWarning("archive: skipping %s", qPrintable(problem));
            archive->_skipped.append(problem);
            continue;
        }
        archive->_fragments.push_back(std::move(fragment));
    }
    if (archive->_fragments.empty() && !archive->_skipped.empty()) {
        *error = QStringLiteral("%1 has no readable fragment: %2").arg(dir, archive->_skipped.join(QLatin1String("; ")));
        return nullptr;
    }
    return archive;
}

size_t ArchiveFolder::firstEndingAfter(int64_t timeMs) const
{
    const auto it = std::partition_point(_fragments.begin(), _fragments.end(),
                                         [timeMs](const std::shared_ptr<FragmentFile> &f) { return f->endMs() <= timeMs; });
    return size_t(it - _fragments.begin());
}

ArchiveFolder::Position ArchiveFolder::feedPosition(int64_t timeMs) const
{
    const size_t index = firstEndingAfter(timeMs);
    if (index == _fragments.size())
        return Position{index, 0};
    const std::shared_ptr<FragmentFile> &fragment = _fragments[index];
    // In a gap, or before the first fragment: the next fragment's first block.
    if (fragment->startMs() > timeMs)
        return Position{index, format::kFragmentHeaderSizeBytes};
    return Position{index, fragment->feedOffset(timeMs)};
}

int64_t ArchiveFolder::markerTimeAfter(size_t fragment) const
{
    return fragment + 1 < _fragments.size() ? _fragments[fragment + 1]->startMs() : format::kEndMarkerTimeMs;
}

}  // namespace archive
