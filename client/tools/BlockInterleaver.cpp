#include "client/tools/BlockInterleaver.h"

#include "client/tools/Interruption.h"

#include <algorithm>
#include <climits>

namespace tools {

BlockInterleaver::BlockInterleaver(archive::Recorder *recorder) : _recorder(recorder) {}

void BlockInterleaver::openStream(uint8_t streamNumber)
{
    _latestMsByStream.emplace(streamNumber, INT64_MIN);
}

bool BlockInterleaver::closeStream(uint8_t streamNumber, QString *error)
{
    _latestMsByStream.erase(streamNumber);
    return writeReady(error);
}

bool BlockInterleaver::push(Block block, QString *error)
{
    const auto open = _latestMsByStream.find(block.streamNumber);
    if (open != _latestMsByStream.end())
        open->second = std::max(open->second, block.timeMs);
    const auto key = std::make_tuple(block.timeMs, block.streamNumber, _arrivals++);
    _waiting.emplace(key, std::move(block));
    return writeReady(error);
}

bool BlockInterleaver::flush(QString *error)
{
    _latestMsByStream.clear();
    return writeReady(error);
}

bool BlockInterleaver::writeReady(QString *error)
{
    int64_t caughtUpMs = INT64_MAX;
    for (const auto &stream : _latestMsByStream)
        caughtUpMs = std::min(caughtUpMs, stream.second);
    while (!_waiting.empty() &&
           (std::get<0>(_waiting.begin()->first) <= caughtUpMs || _waiting.size() > kMaxWaitingBlocks)) {
        if (!writeFirst(error))
            return false;
    }
    return true;
}

bool BlockInterleaver::writeFirst(QString *error)
{
    if (interrupted()) {
        *error = QStringLiteral("interrupted");
        return false;
    }
    const auto first = _waiting.begin();
    Block &block = first->second;
    if (block.timeMs < _lastWrittenMs) {
        block.timeMs = _lastWrittenMs;
        ++_counts.retimedBlocks;
    }
    if (!_recorder->append(block.streamNumber, block.timeMs, block.videoKeyFrame, block.payload, error))
        return false;
    _lastWrittenMs = block.timeMs;
    if (block.streamNumber == archive::kVideoStream)
        ++_counts.videoBlocks;
    else
        ++_counts.audioBlocks;
    _counts.payloadBytes += block.payload.size();
    if (_counts.firstTimeMs < 0)
        _counts.firstTimeMs = block.timeMs;
    _counts.lastTimeMs = block.timeMs;
    _waiting.erase(first);
    return true;
}

}  // namespace tools
