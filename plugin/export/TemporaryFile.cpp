#include "plugin/export/TemporaryFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtDebug>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kPrefix[] = "tmpchunk-";
constexpr int kRandomLength = 8;
constexpr char kRandomAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
// Fresh random names hardly ever clash; the bound only ends the search in a
// folder that behaves oddly.
constexpr int kCreateAttempts = 100;

QString errorText(int error) { return QString::fromLocal8Bit(strerror(error)); }

QString errorAt(int error, const QByteArray &path)
{
    return QStringLiteral("%1 (%2)").arg(errorText(error), QString::fromUtf8(path));
}

QByteArray randomPart()
{
    QByteArray part(kRandomLength, '0');
    for (char &c : part)
        c = kRandomAlphabet[QRandomGenerator::global()->bounded(int(sizeof kRandomAlphabet - 1))];
    return part;
}

bool lockNow(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

// Whether the open file `fd` still has the name `path`. Another export that
// finds a file unlocked may remove it, in the moment between its creation
// and its lock; the lock is then on a file nobody sees.
bool stillNamed(int fd, const char *path)
{
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// Gives the file `from` the name `to` unless something has that name
// (EEXIST); 0 or the error.
int renameWithoutReplacing(const QByteArray &from, const QByteArray &to)
{
    if (renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    int error = errno;
    // File systems that cannot rename without replacing can still make a
    // second name, which fails on an existing one, and drop the first.
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        error = link(from.constData(), to.constData()) == 0 ? 0 : errno;
        if (error == 0 && unlink(from.constData()) != 0)
            qWarning() << "TemporaryFile: cannot remove the name" << QString::fromUtf8(from) << "of"
                       << QString::fromUtf8(to) << errorText(errno);
    }
    // Some (FUSE, network shares) have neither: a plain rename onto a name
    // that nothing has, looked at just before. Only a file made in that
    // moment under the same name could be replaced.
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EXDEV) {
        struct stat existing {};
        if (lstat(to.constData(), &existing) == 0)
            error = EEXIST;
        else
            error = ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
    }
    return error;
}

}  // namespace

std::unique_ptr<TemporaryFile> TemporaryFile::create(const QString &dir, const char *suffix, QString *errorOut)
{
    const QByteArray stem = dir.toUtf8() + '/' + kPrefix + QByteArray::number(qint64(getpid())) + '-';
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const QByteArray path = stem + randomPart() + suffix;
        // Mode 0666 less the umask, as any new file: others are to read the export.
        const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            if (error == EEXIST)
                continue;
            qWarning() << "TemporaryFile: cannot create" << QString::fromUtf8(path) << errorText(error);
            if (errorOut)
                *errorOut = errorAt(error, dir.toUtf8());
            return nullptr;
        }
        if (lockNow(fd) && stillNamed(fd, path.constData()))
            return std::unique_ptr<TemporaryFile>(new TemporaryFile(fd, path));
        // Taken for a leftover by another export, which removes it.
        close(fd);
    }
    qWarning() << "TemporaryFile: no free temporary name in" << dir;
    if (errorOut)
        *errorOut = QStringLiteral("no free temporary name (%1)").arg(dir);
    return nullptr;
}

TemporaryFile::~TemporaryFile()
{
    close(_fd);  // releases the lock
}

bool TemporaryFile::fail(int error, const QByteArray &path)
{
    _error = errorAt(error, path);
    return false;
}

QString TemporaryFile::uniquePart() const
{
    const QByteArray name = _path.mid(_path.lastIndexOf('/') + 1);
    const qsizetype end = name.indexOf('.');
    return QString::fromUtf8(name.mid(qsizetype(sizeof kPrefix - 1), end - qsizetype(sizeof kPrefix - 1)));
}

bool TemporaryFile::write(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            qWarning() << "TemporaryFile: cannot write" << name() << errorText(error);
            return fail(error, _path);
        }
        done += n;
    }
    return true;
}

bool TemporaryFile::sync()
{
    // Errors of writes the kernel buffered (a full disk, a quota, a network
    // file system) surface here at the latest.
    if (fsync(_fd) == 0 || errno == EINVAL)
        return true;
    return fail(errno, _path);
}

int64_t TemporaryFile::size() const
{
    struct stat status {};
    return fstat(_fd, &status) == 0 ? int64_t(status.st_size) : -1;
}

bool TemporaryFile::publishAs(const QString &target, bool *taken)
{
    const QByteArray to = target.toUtf8();
    const int error = renameWithoutReplacing(_path, to);
    *taken = error == EEXIST;
    if (error == 0) {
        _path = to;
        _published = true;
    } else if (!*taken) {
        qWarning() << "TemporaryFile: cannot rename" << name() << "to" << target << errorText(error);
        fail(error, to);
    }
    return error == 0;
}

bool TemporaryFile::publishNew(const QString &target, const char *suffix, const QByteArray &bytes, bool *taken,
                               QString *error)
{
    *taken = false;
    const std::unique_ptr<TemporaryFile> file = create(QFileInfo(target).path(), suffix, error);
    if (!file)
        return false;
    if (file->write(bytes) && file->sync() && file->publishAs(target, taken))
        return true;
    *error = *taken ? QStringLiteral("not replacing %1").arg(target) : file->error();
    file->discard();
    return false;
}

bool TemporaryFile::publishAsNumbered(const QString &stem, const QString &suffix)
{
    for (int number = 1; number <= kMaxNumberedNames; ++number) {
        bool taken = false;
        if (publishAs(numberedName(stem, number, suffix), &taken))
            return true;
        if (!taken)
            return false;
    }
    _error = allNumberedNamesTaken(stem, suffix);
    return false;
}

QString TemporaryFile::numberedName(const QString &stem, int number, const QString &suffix)
{
    return number == 1 ? stem + suffix : QStringLiteral("%1 (%2)%3").arg(stem).arg(number).arg(suffix);
}

QString TemporaryFile::allNumberedNamesTaken(const QString &stem, const QString &suffix)
{
    return QStringLiteral("every name from \"%1\" to \"%2\" is taken")
        .arg(QFileInfo(numberedName(stem, 1, suffix)).fileName(),
             QFileInfo(numberedName(stem, kMaxNumberedNames, suffix)).fileName());
}

bool TemporaryFile::replace(const QString &target)
{
    const QByteArray to = target.toUtf8();
    if (::rename(_path.constData(), to.constData()) != 0) {
        qWarning() << "TemporaryFile: cannot rename" << name() << "to" << target << errorText(errno);
        return fail(errno, to);
    }
    _path = to;
    _published = true;
    return true;
}

void TemporaryFile::discard()
{
    if (!_published && unlink(_path.constData()) != 0 && errno != ENOENT)
        qWarning() << "TemporaryFile: cannot remove" << name() << errorText(errno);
}

void TemporaryFile::removeLeftovers(const QString &dir, const FinalNameOf &finalNameOf)
{
    QStringList suffixes;
    for (const char *suffix : {kChunkSuffix, kChecksumSuffix, kSignatureSuffix, kRecordSuffix})
        suffixes << QRegularExpression::escape(QLatin1String(suffix));
    const QRegularExpression ours(QStringLiteral("^%1\\d+-[%2]{%3}(%4)$")
                                      .arg(QLatin1String(kPrefix), QLatin1String(kRandomAlphabet))
                                      .arg(kRandomLength)
                                      .arg(suffixes.join(QLatin1Char('|'))));
    const QDir folder(dir);
    const QStringList candidates = folder.entryList({QLatin1String(kPrefix) + QLatin1Char('*')}, QDir::Files);
    for (const QString &candidate : candidates) {
        if (!ours.match(candidate).hasMatch())
            continue;
        const QByteArray path = folder.filePath(candidate).toUtf8();
        // Not followed through a link; and a pipe of that name must not block.
        const int fd = open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        // A lock that can be taken means no export is writing the file: the
        // one that did was killed (or one has just made it and not locked it
        // yet, and will notice and take another name).
        if (lockNow(fd) && stillNamed(fd, path.constData())) {
            const QString target = finalNameOf && candidate.endsWith(QLatin1String(kChunkSuffix))
                                       ? finalNameOf(QString::fromUtf8(path))
                                       : QString();
            const QByteArray to = target.toUtf8();
            if (to == path) {
                // A record lists it under this name: it stays.
            } else if (!target.isEmpty() && renameWithoutReplacing(path, to) == 0) {
                qWarning() << "TemporaryFile: named" << QString::fromUtf8(path) << target
                           << "as its checksum file and record say, which a killed export left";
            } else if (unlink(path.constData()) == 0) {
                qWarning() << "TemporaryFile: removed" << QString::fromUtf8(path) << "which no export is writing";
            }
        }
        close(fd);
    }
}
