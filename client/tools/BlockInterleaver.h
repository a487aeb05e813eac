// Puts the blocks of one fragment into time order on their way to the
// recorder. Blocks of several streams arrive in the order their sources make
// them (an encoder's delay, a file's interleaving); a block goes out once
// every open stream has given a block at least as late, with video before
// audio at equal times. A bounded backlog keeps memory flat for badly
// interleaved input: past it the earliest block goes out regardless, and a
// later block that would then be out of order is moved up to the time of the
// last block written (counted in Counts::retimedBlocks).
//
// Main thread; appends through a recorder it does not own.
#ifndef CLIENT_TOOLS_BLOCKINTERLEAVER_H_
#define CLIENT_TOOLS_BLOCKINTERLEAVER_H_

#include "client/archive/Recorder.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>
#include <tuple>

namespace tools {

struct Block {
    uint8_t streamNumber;
    int64_t timeMs;
    bool videoKeyFrame;
    QByteArray payload;  // four-character code and encoded bytes
};

class BlockInterleaver {
public:
    // What went out since construction or the last resetCounts().
    struct Counts {
        int64_t videoBlocks = 0;
        int64_t audioBlocks = 0;
        int64_t payloadBytes = 0;
        int64_t firstTimeMs = -1;
        int64_t lastTimeMs = -1;
        int64_t retimedBlocks = 0;
    };

    explicit BlockInterleaver(archive::Recorder *recorder);

    // Announces a stream whose blocks hold back later blocks of other streams
    // until it has caught up, and ends that (no more blocks from it).
    void openStream(uint8_t streamNumber);
    bool closeStream(uint8_t streamNumber, QString *error);

    bool push(Block block, QString *error);
    // Writes every waiting block; the open streams are closed.
    bool flush(QString *error);

    const Counts &counts() const { return _counts; }
    void resetCounts() { _counts = Counts(); }

private:
    bool writeReady(QString *error);
    bool writeFirst(QString *error);

    static constexpr size_t kMaxWaitingBlocks = 256;

    archive::Recorder *_recorder;
    // Keyed by time, stream number (video 0 before audio 8) and arrival.
    std::map<std::tuple<int64_t, uint8_t, uint64_t>, Block> _waiting;
    // Open streams and the time of the latest block each has given (none yet: INT64_MIN).
    std::map<uint8_t, int64_t> _latestMsByStream;
    uint64_t _arrivals = 0;
    int64_t _lastWrittenMs = INT64_MIN;
    Counts _counts;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_BLOCKINTERLEAVER_H_
