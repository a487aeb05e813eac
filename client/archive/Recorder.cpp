#include "client/archive/Recorder.h"

#include "client/archive/Format.h"
#include "client/archive/FragmentTally.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace archive {

namespace {

// Writes one archive folder. Each block goes to the kernel in one unbuffered
// write, so a killed process leaves every appended block on disk.
class FolderRecorder : public Recorder {
public:
    explicit FolderRecorder(const QString &dir) : _dir(dir) {}
    ~FolderRecorder() override
    {
        QString ignored;
        close(&ignored);
    }

    bool beginFragment(QString *error) override;
    bool append(uint8_t streamNumber, int64_t timeMs, bool videoKeyFrame, const QByteArray &payload,
                QString *error) override;
    bool endFragment(QString *error) override;
    bool close(QString *error) override;

private:
    bool checkBlock(uint8_t streamNumber, int64_t timeMs, const QByteArray &payload, QString *error) const;
    bool writeBlock(uint8_t streamNumber, int64_t timeMs, bool key, const QByteArray &payload, QString *error);
    bool writeIndex(QString *error);
    QString path(const QString &name) const { return _dir.filePath(name); }

    QDir _dir;
    bool _closed = false;
    int64_t _nextFragmentId = 1;
    int64_t _lastTimeMs = 0;              // of the last block appended, 0 = none yet
    int64_t _previousFragmentLastMs = 0;  // last block time of the fragments already ended

    // The open fragment; _file is null between fragments.
    std::unique_ptr<QFile> _file;
    int64_t _fragmentId = 0;
    int64_t _sizeBytes = 0;
    FragmentTally _tally;
    QByteArray _buffer;  // reused for header + payload
};

bool FolderRecorder::beginFragment(QString *error)
{
    if (_closed) {
        *error = QStringLiteral("the recorder is closed");
        return false;
    }
    if (_file && !endFragment(error))
        return false;
    _fragmentId = _nextFragmentId++;
    auto file = std::make_unique<QFile>(path(format::fragmentFileName(_fragmentId)));
    if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot create %1: %2").arg(file->fileName(), file->errorString());
        return false;
    }
    const QByteArray header = format::encodeFragmentHeader(_fragmentId);
    if (file->write(header) != header.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(file->fileName(), file->errorString());
        file->remove();
        return false;
    }
    _file = std::move(file);
    _sizeBytes = header.size();
    _tally = FragmentTally();
    return true;
}

bool FolderRecorder::checkBlock(uint8_t streamNumber, int64_t timeMs, const QByteArray &payload,
                                QString *error) const
{
    if (!_file) {
        *error = QStringLiteral("no open fragment (call beginFragment first)");
        return false;
    }
    if (streamNumber != kVideoStream && streamNumber != kAudioStream) {
        *error = QStringLiteral("stream %1 is neither video (0) nor audio (8)").arg(streamNumber);
        return false;
    }
    if (uint32_t(payload.size()) < format::kMinPayloadSizeBytes
        || uint32_t(payload.size()) > format::kMaxPayloadSizeBytes) {
        *error = QStringLiteral("payload of %1 bytes (needs a four-character code, at most %2 bytes)")
                     .arg(payload.size())
                     .arg(format::kMaxPayloadSizeBytes);
        return false;
    }
    if (timeMs < format::kMinTimeMs || timeMs > format::kMaxTimeMs) {
        *error = QStringLiteral("time %1 ms is out of range").arg(timeMs);
        return false;
    }
    if (timeMs < _lastTimeMs) {
        *error = QStringLiteral("time goes back: %1 ms after %2 ms").arg(timeMs).arg(_lastTimeMs);
        return false;
    }
    const bool firstOfFragment = _tally.blockCount() == 0;
    if (firstOfFragment && timeMs <= _previousFragmentLastMs) {
        *error = QStringLiteral("a fragment must start after the previous one ends (%1 ms <= %2 ms)")
                     .arg(timeMs)
                     .arg(_previousFragmentLastMs);
        return false;
    }
    return true;
}

bool FolderRecorder::append(uint8_t streamNumber, int64_t timeMs, bool videoKeyFrame, const QByteArray &payload,
                            QString *error)
{
    if (!checkBlock(streamNumber, timeMs, payload, error))
        return false;
    // Every audio frame of the codecs recorded here decodes on its own.
    const bool key = streamNumber == kAudioStream || videoKeyFrame;
    if (!writeBlock(streamNumber, timeMs, key, payload, error))
        return false;
    _lastTimeMs = timeMs;
    return true;
}

bool FolderRecorder::writeBlock(uint8_t streamNumber, int64_t timeMs, bool key, const QByteArray &payload,
                                QString *error)
{
    format::BlockHeader header;
    header.payloadSizeBytes = uint32_t(payload.size());
    header.streamNumber = streamNumber;
    header.flags = key ? format::kKeyFlag : 0;
    header.timeMs = timeMs;
    header.payloadCrc = format::crc32Of(payload.constData(), size_t(payload.size()));
    _buffer.resize(format::kBlockHeaderSizeBytes);
    format::encodeBlockHeader(header, _buffer.data());
    _buffer.append(payload);
    if (_file->write(_buffer) != _buffer.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(_file->fileName(), _file->errorString());
        // Cut off a partly written block, so that later blocks still follow a complete one.
        _file->resize(_sizeBytes);
        return false;
    }
    _tally.add(header, payload.constData(), _sizeBytes);
    _sizeBytes += _buffer.size();
    return true;
}

bool FolderRecorder::writeIndex(QString *error)
{
    const QByteArray keys = _tally.encodedKeys();
    const QByteArray header = format::encodeIndexHeader(_tally.indexHeader(_fragmentId, _sizeBytes));
    QFile index(path(format::indexTempFileName(_fragmentId)));
    const QString finalName = path(format::indexFileName(_fragmentId));
    const bool written = index.open(QIODevice::WriteOnly | QIODevice::Truncate) && index.write(header) == header.size()
        && index.write(keys) == keys.size() && index.flush() && ::fsync(index.handle()) == 0;
    index.close();
    if (!written || !QFile::rename(index.fileName(), finalName)) {
        *error = QStringLiteral("cannot write the index %1: %2").arg(finalName, index.errorString());
        index.remove();
        return false;
    }
    return true;
}

bool FolderRecorder::endFragment(QString *error)
{
    if (!_file)
        return true;
    bool ok = true;
    if (_tally.blockCount() == 0) {
        _file->remove();
    } else {
        ok = ::fsync(_file->handle()) == 0 && writeIndex(error);
        if (!ok && error->isEmpty())
            *error = QStringLiteral("cannot sync %1").arg(_file->fileName());
        _previousFragmentLastMs = _lastTimeMs;
    }
    _file.reset();
    return ok;
}

bool FolderRecorder::close(QString *error)
{
    if (_closed)
        return true;
    _closed = true;
    return endFragment(error);
}

}  // namespace

Recorder::~Recorder() = default;

std::unique_ptr<Recorder> Recorder::create(const QString &dir, QString *error)
{
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) {
        *error = QStringLiteral("%1 is a file, not a folder").arg(dir);
        return nullptr;
    }
    QDir folder(dir);
    if (info.exists() && !folder.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        *error = QStringLiteral("%1 is not empty; an archive is recorded into a new or empty folder").arg(dir);
        return nullptr;
    }
    if (!folder.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("cannot create the folder %1").arg(dir);
        return nullptr;
    }
    QFile marker(folder.filePath(QLatin1String(format::kMarkerFileName)));
    const QByteArray text(format::kMarkerText);
    if (!marker.open(QIODevice::WriteOnly | QIODevice::NewOnly) || marker.write(text) != text.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(marker.fileName(), marker.errorString());
        return nullptr;
    }
    return std::make_unique<FolderRecorder>(folder.absolutePath());
}

}  // namespace archive
