// TemporaryFile: a file of one export while it is being written, under a
// name of its own in the target folder, "tmpchunk-<pid>-<random><suffix>".
//
// Several exports may write into one folder at once (two operators and one
// evidence share, two scripted runs), so nothing here may touch a file it
// did not make: the file is created exclusively, it holds an advisory lock
// (flock) for as long as this object lives, and publishAs() gives it its
// final name atomically without replacing whatever is there. An export that
// is killed leaves its file unlocked (the kernel drops the lock with the
// process); removeLeftovers() deletes such files, and only those, of this
// naming alone.
//
// Made and used on one thread; the lock is released by the destructor.
#ifndef PLUGIN_EXPORT_TEMPORARYFILE_H_
#define PLUGIN_EXPORT_TEMPORARYFILE_H_

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class TemporaryFile {
public:
    // Suffixes of the kinds of file an export writes. None ends like a
    // finished file, its checksum or a signature, so that nothing that looks
    // for those (a player's file list, `sha256sum -c *.sha256`) takes a
    // partial one.
    static constexpr const char *kChunkSuffix = ".mkv.part";
    static constexpr const char *kChecksumSuffix = ".sha256.part";
    static constexpr const char *kSignatureSuffix = ".p7s.part";
    static constexpr const char *kRecordSuffix = ".json.part";

    // A new, empty, locked file in `dir`; null (and a warning) when none can
    // be created there.
    static std::unique_ptr<TemporaryFile> create(const QString &dir, const char *suffix, QString *error = nullptr);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    // The file's path as libavformat and the C library take it; its current
    // name (the final one after publishAs()).
    const QByteArray &path() const { return _path; }
    QString name() const { return QString::fromUtf8(_path); }
    // "<pid>-<random>", what sets this file's temporary name apart: a name
    // made of it and a suffix no longer than ".mkv.part" fits wherever the
    // temporary name did.
    QString uniquePart() const;

    // Appends `bytes` through the locked descriptor.
    bool write(const QByteArray &bytes);
    // Writes what the file holds through to the disk; before it is named.
    bool sync();
    // Its size on disk; -1 when it cannot be told.
    int64_t size() const;

    // Gives the file the name `target`, unless that name exists: then false
    // with *taken set. False with *taken clear is any other failure (logged).
    bool publishAs(const QString &target, bool *taken);
    // Gives the file the first of the numbered names (numberedName) that
    // nothing has; false on any other failure, or when all are taken.
    bool publishAsNumbered(const QString &stem, const QString &suffix);

    // Names tried for one file: "<stem><suffix>" for `number` 1, then
    // "<stem> (2)<suffix>" and so on up to kMaxNumberedNames.
    static constexpr int kMaxNumberedNames = 1000;
    static QString numberedName(const QString &stem, int number, const QString &suffix);
    // The failure when every numbered name is taken.
    static QString allNumberedNamesTaken(const QString &stem, const QString &suffix);
    // Writes `bytes` to a new file in `target`'s folder (`suffix` while it is
    // written), flushed, then named `target` unless that name exists (false
    // with *taken set). False on any failure, which *error tells.
    static bool publishNew(const QString &target, const char *suffix, const QByteArray &bytes, bool *taken,
                           QString *error);
    // Gives the file the name `target`, replacing what has that name.
    bool replace(const QString &target);

    // The last failure, in the system's words, with the file concerned:
    // "No space left on device (/media/evidence/x.mkv)".
    const QString &error() const { return _error; }

    // Deletes the file while it still has its temporary name.
    void discard();

    // Deletes the files of this naming in `dir` that no live export holds.
    // A chunk among them for which `finalNameOf` (called with the file
    // locked) gives a path takes that name instead, never replacing one: an
    // export killed after it had checksummed and recorded the file, and
    // before it named it, left it complete. One for which it gives the
    // chunk's own path stays as it is.
    using FinalNameOf = std::function<QString(const QString &leftover)>;
    static void removeLeftovers(const QString &dir, const FinalNameOf &finalNameOf = {});

private:
    TemporaryFile(int fd, const QByteArray &path) : _fd(fd), _path(path) {}

    bool fail(int error, const QByteArray &path);

    int _fd;
    QByteArray _path;
    bool _published = false;
    QString _error;
};

#endif  // PLUGIN_EXPORT_TEMPORARYFILE_H_
