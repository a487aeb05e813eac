// MappedFile: a whole file mapped read-only into memory, for the archive's
// zero-copy reads. The mapping lives as long as the object; payloads handed
// out as QByteArray::fromRawData must not outlive it (holders share it through
// std::shared_ptr).
//
// Immutable after construction; the advice calls may come from any thread.
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

    // Starts reading [offset, offset + length) from disk in the background.
    void willNeed(int64_t offsetBytes, int64_t lengthBytes) const;
    // Drops [offset, offset + length) from this process's memory; touching it
    // again reads it back.
    void dontNeed(int64_t offsetBytes, int64_t lengthBytes) const;

private:
    MappedFile(const char *data, int64_t sizeBytes) : _data(data), _sizeBytes(sizeBytes) {}
    void advise(int64_t offsetBytes, int64_t lengthBytes, int advice) const;

    const char *_data;
    int64_t _sizeBytes;
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_MAPPEDFILE_H_
