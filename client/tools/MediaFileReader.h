// One media file read as a camera's blocks, without re-encoding: the first
// video stream becomes stream 0, the first audio stream stream 8. H.264 and
// HEVC leave FFmpeg's mp4toannexb filters as Annex-B access units with
// parameter sets at key frames; AAC leaves the ADTS wrapper as ADTS frames;
// MJPEG and G.711 pass as they are. Leading video packets before the first
// key frame are dropped. Block times are the fragment's start plus the
// packet's presentation time relative to the file's earliest stream start.
//
// Files the camera forms cannot hold are refused: other codecs, G.711 that
// is not 8000 Hz mono, and video whose decode order differs from its
// presentation order (a packet presented before the one decoded before it;
// in a raw stream without times, declared reorder room), since a block has
// a single time. Key frames keep the parameter sets they carry; those
// without get the file's.
//
// One thread; owns the demuxer, the filter and the wrapper.
#ifndef CLIENT_TOOLS_MEDIAFILEREADER_H_
#define CLIENT_TOOLS_MEDIAFILEREADER_H_

#include "client/media/FFmpegHolders.h"
#include "client/tools/AdtsWrapper.h"
#include "client/tools/BlockInterleaver.h"
#include "client/tools/Outcome.h"

#include <QString>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

namespace tools {

class MediaFileReader {
public:
    // Opens and checks `path`; null with *outcome refused when the file is
    // missing, not media, or holds nothing the archive can take.
    static std::unique_ptr<MediaFileReader> open(const QString &path, Outcome *outcome);

    const QString &path() const { return _path; }
    bool hasVideo() const { return _video.index >= 0; }
    bool hasAudio() const { return _audio.index >= 0; }
    // The file's creation_time metadata in ms since the Unix epoch; -1 when absent.
    int64_t creationTimeMs() const;
    // "h264 + aac" style summary of the streams taken.
    QString streamSummary() const;

    enum class Result { Blocks, End, Failed };
    // Reads on until at least one block is ready for a fragment that starts
    // at `fragmentStartMs` and appends them; End once the file is done.
    Result read(int64_t fragmentStartMs, std::vector<Block> *blocks, Outcome *outcome);

private:
    struct Stream {
        int index = -1;
        uint32_t fourcc = 0;
        int64_t nextTimestamp = AV_NOPTS_VALUE;  // in the stream's time base, for a packet without one
        int64_t lastPts = AV_NOPTS_VALUE;        // of the packet before
    };

    explicit MediaFileReader(const QString &path) : _path(path) {}

    Outcome selectStreams();
    Outcome prepareVideo();
    Outcome prepareAudio();
    int64_t originMs() const;

    Result takeVideo(AVPacket *packet, int64_t fragmentStartMs, std::vector<Block> *blocks, Outcome *outcome);
    Result takeAudio(AVPacket *packet, int64_t fragmentStartMs, std::vector<Block> *blocks, Outcome *outcome);
    // The block time of `packet` of `stream`.
    int64_t blockTimeMs(Stream *stream, const AVPacket *packet, int64_t fragmentStartMs);
    Outcome openAnnexBFilter(const char *name, const AVCodecParameters *parameters, media::BsfHolder *holder);
    // Whether the length-prefixed HEVC `packet` holds a VPS, SPS or PPS.
    bool carriesParameterSets(const AVPacket *packet) const;
    // False when `packet` is shown before the video packet before it.
    bool inDisplayOrder(const AVPacket *packet);
    Outcome refuseBFrames() const;
    Outcome failure(const char *call, int errorCode) const;

    QString _path;
    media::FormatContextHolder _demuxer;
    Stream _video;
    Stream _audio;
    media::BsfHolder _annexB;            // H.264 and HEVC only
    media::BsfHolder _annexBAsIs;        // HEVC with an hvcC record: adds no parameter sets
    int _lengthBytes = 4;                // of the NAL unit lengths, with _annexBAsIs
    std::unique_ptr<AdtsWrapper> _adts;  // AAC only
    int64_t _originMs = INT64_MAX;  // INT64_MAX until known
    bool _videoKeySeen = false;
    bool _ended = false;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_MEDIAFILEREADER_H_
