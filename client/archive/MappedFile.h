// MappedFile: a whole file mapped read-only into memory, for the archive's
// whole-file passes (the scan of a fragment, the index's key table). The
// mapping lives as long as the object; views into it (QByteArray::fromRawData)
// must not outlive it, so holders share it through std::shared_ptr.
//
// Immutable after construction; any thread.
#ifndef CLIENT_ARCHIVE_MAPPEDFILE_H_
#define CLIENT_ARCHIVE_MAPPEDFILE_H_

#include <QString>
#include <cstdint>
#include <memory>

namespace archive {

class MappedFile {
public:
    // The file mapped for sequential reading; null with *error set when it
    // cannot be opened or mapped. An empty file gives an empty mapping.
    static std::shared_ptr<const MappedFile> map(const QString &path, QString *error);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    const char *data() const { return _data; }
    int64_t sizeBytes() const { return _sizeBytes; }

private:
    MappedFile(const char *data, int64_t sizeBytes) : _data(data), _sizeBytes(sizeBytes) {}

    const char *_data;
    int64_t _sizeBytes;
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_MAPPEDFILE_H_
