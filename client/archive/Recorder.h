// Recorder: writes a new on-disk archive of one camera channel, fragment by
// fragment, block by block (see docs/archive-format.md).
//
// Blocks are appended in time order (non-decreasing timeMs across streams).
// The payload is the block's four-character code followed by the encoded
// bytes as a camera sends them. Video blocks are key as the caller says;
// every audio block is key (see "Key flags" in docs/archive-format.md).
//
// One thread; the recorder owns its open files. Whatever was appended is
// readable after a crash up to the last complete block.
#ifndef CLIENT_ARCHIVE_RECORDER_H_
#define CLIENT_ARCHIVE_RECORDER_H_

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

namespace archive {

constexpr uint8_t kVideoStream = 0;
constexpr uint8_t kAudioStream = 8;

class Recorder {
public:
    // Creates a new archive in `dir` (missing or empty). Null with *error set
    // when that is not possible.
    static std::unique_ptr<Recorder> create(const QString &dir, QString *error);
    virtual ~Recorder();

    // Starts a new fragment (ends the open one first).
    virtual bool beginFragment(QString *error) = 0;
    // Appends one block to the open fragment. `videoKeyFrame` is read for
    // stream 0 only. Fails on a time before the previous block's.
    virtual bool append(uint8_t streamNumber, int64_t timeMs, bool videoKeyFrame, const QByteArray &payload,
                        QString *error) = 0;
    // Ends the open fragment: its index is written and it becomes final.
    virtual bool endFragment(QString *error) = 0;
    // Ends the open fragment, if any, and closes the archive.
    virtual bool close(QString *error) = 0;
};

}  // namespace archive

#endif  // CLIENT_ARCHIVE_RECORDER_H_
