#include "client/archive/FragmentFile.h"

#include "client/archive/FragmentTally.h"

#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <algorithm>

namespace archive {

namespace {

struct ScanResult {
    int64_t dataEndBytes = format::kFragmentHeaderSizeBytes;
    BlockCheck stop = BlockCheck::End;
    int64_t stopOffsetBytes = 0;
};

// Reads blocks from the first on until the file ends or a block fails.
ScanResult scanBlocks(const MappedFile &file, FragmentTally *tally)
{
    ScanResult result;
    BlockView block;
    int64_t offset = format::kFragmentHeaderSizeBytes;
    for (;;) {
        result.stop = checkBlockAt(file.data(), file.sizeBytes(), offset, &block);
        if (result.stop != BlockCheck::Ok)
            break;
        tally->add(block.header, block.payload, offset);
        offset = block.nextOffsetBytes;
    }
    result.dataEndBytes = offset;
    result.stopOffsetBytes = offset;
    return result;
}

QString describeStop(const ScanResult &scan, int64_t blockCount)
{
    switch (scan.stop) {
    case BlockCheck::Ok:
    case BlockCheck::End:
        return QString();
    case BlockCheck::CutOff:
        return QStringLiteral("cut off inside block %1 at byte %2; read up to the %3 complete blocks before it")
            .arg(blockCount + 1)
            .arg(scan.stopOffsetBytes)
            .arg(blockCount);
    case BlockCheck::BadHeader:
    case BlockCheck::BadPayload:
        return QStringLiteral("damaged at byte %1 (block %2: %3 checksum mismatch); read up to the %4 blocks before it")
            .arg(scan.stopOffsetBytes)
            .arg(blockCount + 1)
            .arg(scan.stop == BlockCheck::BadHeader ? QStringLiteral("header") : QStringLiteral("payload"))
            .arg(blockCount);
    }
    return QString();
}

bool sameIndex(const format::IndexHeader &a, const format::IndexHeader &b)
{
    return a.fragmentId == b.fragmentId && a.dataSizeBytes == b.dataSizeBytes && a.blockCount == b.blockCount
        && a.videoBlocks == b.videoBlocks && a.audioBlocks == b.audioBlocks && a.firstTimeMs == b.firstTimeMs
        && a.lastTimeMs == b.lastTimeMs && a.videoFourcc == b.videoFourcc && a.audioFourcc == b.audioFourcc
        && a.keyCount == b.keyCount && a.entriesCrc == b.entriesCrc;
}

int64_t entryCount(const QByteArray &keys) { return keys.size() / format::kIndexEntrySizeBytes; }

format::IndexEntry entryAt(const QByteArray &keys, int64_t i)
{
    return format::decodeIndexEntry(keys.constData() + i * format::kIndexEntrySizeBytes);
}

}  // namespace

BlockCheck checkBlockAt(const char *data, int64_t sizeBytes, int64_t offsetBytes, BlockView *out)
{
    const int64_t left = sizeBytes - offsetBytes;
    if (left <= 0)
        return left == 0 ? BlockCheck::End : BlockCheck::CutOff;
    if (left < format::kBlockHeaderSizeBytes)
        return BlockCheck::CutOff;
    if (!format::decodeBlockHeader(data + offsetBytes, &out->header))
        return BlockCheck::BadHeader;
    if (left - format::kBlockHeaderSizeBytes < int64_t(out->header.payloadSizeBytes))
        return BlockCheck::CutOff;
    out->payload = data + offsetBytes + format::kBlockHeaderSizeBytes;
    if (format::crc32Of(out->payload, out->header.payloadSizeBytes) != out->header.payloadCrc)
        return BlockCheck::BadPayload;
    out->nextOffsetBytes = offsetBytes + format::kBlockHeaderSizeBytes + out->header.payloadSizeBytes;
    return BlockCheck::Ok;
}

std::shared_ptr<FragmentFile> FragmentFile::open(const QDir &dir, int64_t fragmentId, Check check, QString *error)
{
    std::shared_ptr<FragmentFile> fragment(new FragmentFile(dir, fragmentId));
    Summary &summary = fragment->_summary;
    summary.fileSizeBytes = QFileInfo(fragment->dataPath()).size();
    format::IndexHeader index;
    const bool indexMatches = fragment->loadIndexHeader(summary.fileSizeBytes, &index);
    if (check == Check::Trust && indexMatches && fragment->hasGoodHeader()) {
        summary.index = index;
        summary.dataEndBytes = summary.fileSizeBytes;
        summary.complete = true;
        return fragment;
    }
    format::IndexHeader scanned;
    if (!fragment->scan(&scanned, error))
        return nullptr;
    if (summary.status.isEmpty()) {
        if (!QFile::exists(fragment->path(format::indexFileName(fragmentId))))
            summary.status = QStringLiteral("no index: the recording did not end cleanly");
        else if (!indexMatches || !sameIndex(index, scanned))
            summary.status = QStringLiteral("the index does not match the fragment file; rebuilt by a scan");
    }
    summary.complete = summary.status.isEmpty();
    return fragment;
}

bool FragmentFile::loadIndexHeader(int64_t fileSizeBytes, format::IndexHeader *header) const
{
    QFile file(path(format::indexFileName(_fragmentId)));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.read(format::kIndexHeaderSizeBytes);
    return indexHeaderFits(bytes.constData(), bytes.size() < format::kIndexHeaderSizeBytes ? 0 : file.size(),
                           fileSizeBytes, header);
}

bool FragmentFile::indexHeaderFits(const char *data, int64_t sizeBytes, int64_t fileSizeBytes,
                                   format::IndexHeader *header) const
{
    return format::decodeIndexHeader(data, sizeBytes, header) && header->fragmentId == _fragmentId
        && header->dataSizeBytes == fileSizeBytes;
}

bool FragmentFile::fragmentHeaderFits(const char *data, int64_t sizeBytes, QString *problem) const
{
    int64_t headerId = 0;
    if (!format::decodeFragmentHeader(data, sizeBytes, &headerId, problem))
        return false;
    if (headerId != _fragmentId) {
        *problem = QStringLiteral("its header names fragment %1").arg(headerId);
        return false;
    }
    return true;
}

bool FragmentFile::hasGoodHeader() const
{
    QFile file(dataPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = file.read(format::kFragmentHeaderSizeBytes);
    QString ignored;
    return fragmentHeaderFits(bytes.constData(), bytes.size(), &ignored);
}

bool FragmentFile::scan(format::IndexHeader *scanned, QString *error)
{
    QString problem;
    std::shared_ptr<const MappedFile> file = MappedFile::map(dataPath(), &problem);
    if (file && !fragmentHeaderFits(file->data(), file->sizeBytes(), &problem))
        file.reset();
    if (!file) {
        *error = QStringLiteral("fragment %1: %2").arg(format::fragmentFileName(_fragmentId), problem);
        return false;
    }
    FragmentTally tally;
    const ScanResult result = scanBlocks(*file, &tally);
    if (tally.blockCount() == 0) {
        const QString stop = describeStop(result, 0);
        *error = QStringLiteral("fragment %1 has no complete block%2")
                     .arg(format::fragmentFileName(_fragmentId), stop.isEmpty() ? QString() : QLatin1String(": ") + stop);
        return false;
    }
    *scanned = tally.indexHeader(_fragmentId, file->sizeBytes());
    _summary.index = *scanned;
    _summary.dataEndBytes = result.dataEndBytes;
    _summary.status = describeStop(result, tally.blockCount());
    std::lock_guard<std::mutex> lock(_mutex);
    _keys = tally.encodedKeys();
    _keysReady = true;
    return true;
}

const QByteArray &FragmentFile::keyTable()
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_keysReady)
        return _keys;
    _keysReady = true;
    QString problem;
    _index = MappedFile::map(path(format::indexFileName(_fragmentId)), &problem);
    format::IndexHeader header;
    if (_index && indexHeaderFits(_index->data(), _index->sizeBytes(), _summary.fileSizeBytes, &header)) {
        const char *entries = _index->data() + format::kIndexHeaderSizeBytes;
        const int64_t sizeBytes = header.keyCount * format::kIndexEntrySizeBytes;
        if (format::crc32Of(entries, size_t(sizeBytes)) == header.entriesCrc) {
            _keys = QByteArray::fromRawData(entries, qsizetype(sizeBytes));
            return _keys;
        }
    }
    qWarning("archive: the index of fragment %lld is damaged; rebuilding its key table by a scan",
             static_cast<long long>(_fragmentId));
    _index.reset();
    // The key table is built from a mapping held only for this scan.
    if (const std::shared_ptr<const MappedFile> data = MappedFile::map(dataPath(), &problem)) {
        FragmentTally tally;
        scanBlocks(*data, &tally);
        _keys = tally.encodedKeys();
    }
    return _keys;
}

int64_t FragmentFile::feedOffset(int64_t timeMs)
{
    const QByteArray &keys = keyTable();
    const int64_t count = entryCount(keys);
    // Index of the first entry whose time passes the predicate, by binary search.
    const auto firstWhere = [&](auto predicate) {
        int64_t low = 0, high = count;
        while (low < high) {
            const int64_t middle = low + (high - low) / 2;
            if (predicate(entryAt(keys, middle).timeMs))
                high = middle;
            else
                low = middle + 1;
        }
        return low;
    };
    const int64_t after = firstWhere([timeMs](int64_t t) { return t > timeMs; });
    if (after == 0)
        return format::kFragmentHeaderSizeBytes;
    const int64_t keyTimeMs = entryAt(keys, after - 1).timeMs;
    const int64_t offset = entryAt(keys, firstWhere([keyTimeMs](int64_t t) { return t >= keyTimeMs; })).offsetBytes;
    const bool plausible = offset >= format::kFragmentHeaderSizeBytes && offset < _summary.dataEndBytes;
    return plausible ? offset : format::kFragmentHeaderSizeBytes;
}

void FragmentFile::reportDamage(int64_t offsetBytes, BlockCheck check)
{
    if (_damageReported.exchange(true))
        return;
    qWarning("archive: fragment %s is %s at byte %lld; reading stops there",
             qPrintable(dataPath()),
             check == BlockCheck::CutOff ? "cut off" : "damaged (checksum mismatch)", static_cast<long long>(offsetBytes));
}

}  // namespace archive
