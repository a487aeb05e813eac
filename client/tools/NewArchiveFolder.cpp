#include "client/tools/NewArchiveFolder.h"

#include <QDir>
#include <QFileInfo>

namespace tools {

NewArchiveFolder::NewArchiveFolder(const QString &dir)
    : _shownDir(dir), _dir(QDir::cleanPath(QFileInfo(dir).absoluteFilePath())), _existed(QFileInfo::exists(_dir))
{
    if (_existed)
        return;
    QString missing = _dir;
    for (QString parent = QFileInfo(missing).path(); parent != missing && !QFileInfo::exists(parent);
         parent = QFileInfo(missing).path())
        missing = parent;
    _outermostMissing = missing;
}

NewArchiveFolder::~NewArchiveFolder()
{
    if (!_begun || _committed)
        return;
    if (!_existed) {
        QDir(_outermostMissing).removeRecursively();
        return;
    }
    // The folder was empty when checked, so everything in it is ours.
    const QDir dir(_dir);
    for (const QFileInfo &entry : dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

Outcome NewArchiveFolder::check() const
{
    if (!_existed)
        return Outcome::success();
    const QFileInfo info(_dir);
    if (!info.isDir())
        return Outcome::refused(QStringLiteral("%1 exists and is not a folder").arg(_shownDir));
    if (!QDir(_dir).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        return Outcome::refused(QStringLiteral("%1 is not empty; give a new folder for the archive").arg(_shownDir));
    return Outcome::success();
}

std::unique_ptr<archive::Recorder> NewArchiveFolder::createRecorder(Outcome *outcome)
{
    _begun = true;
    QString error;
    std::unique_ptr<archive::Recorder> recorder = archive::Recorder::create(_dir, &error);
    if (!recorder)
        *outcome = Outcome::failed(QStringLiteral("cannot create an archive in %1: %2").arg(_shownDir, error));
    return recorder;
}

}  // namespace tools
