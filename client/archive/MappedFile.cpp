#include "client/archive/MappedFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace archive {

std::shared_ptr<const MappedFile> MappedFile::map(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        *error = QStringLiteral("cannot read the size of %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return nullptr;
    }
    const int64_t sizeBytes = info.st_size;
    const char *data = nullptr;
    if (sizeBytes > 0) {
        void *mapped = ::mmap(nullptr, size_t(sizeBytes), PROT_READ, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) {
            *error = QStringLiteral("cannot map %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            return nullptr;
        }
        data = static_cast<const char *>(mapped);
        ::madvise(mapped, size_t(sizeBytes), MADV_SEQUENTIAL);
    }
    ::close(fd);  // the mapping keeps the file
    return std::shared_ptr<const MappedFile>(new MappedFile(data, sizeBytes));
}

MappedFile::~MappedFile()
{
    if (_data)
        ::munmap(const_cast<char *>(_data), size_t(_sizeBytes));
}

}  // namespace archive
