// TimeTrack: a subtitle stream (SubRip, Matroska S_TEXT/UTF8) that shows the
// recording's local date and time to the second, with its UTC offset, in any
// player: one cue per second of recorded time, from the first block of that
// second to the first block of the next.
//
// A cue's end is known only when the next second's first block comes, and
// players built on libavcodec and libass do not show a cue without a
// duration at all. So each cue is written when it ends, just ahead of the
// block that ends it, and the last one when the file ends: no queue, no
// second pass. A cue thus lies at most about a second (of file time) after
// its first picture in the file, well within what players read ahead.
//
// Owned by its ChunkFile; worker thread only.
#ifndef PLUGIN_EXPORT_TIMETRACK_H_
#define PLUGIN_EXPORT_TIMETRACK_H_

#include <QByteArray>
#include <QString>
#include <cstdint>

struct AVFormatContext;

class TimeTrack {
public:
    // The stream's title.
    static constexpr const char *kTitle = "Recording time";
    // "+01:00": an offset from UTC as the cues (and the export record) give it.
    static QString offsetText(int offsetSeconds);

    // Adds the stream after those of the informers, before the header is
    // written. False when no stream can be added.
    bool addStream(AVFormatContext *context);

    // Before the block recorded at `wallClockMs` is written at `fileMs`: when
    // it begins a new second, writes the cue it ends and opens the next.
    // The muxer's result (negative on failure); 0 without the stream.
    int beforeBlock(AVFormatContext *context, int64_t wallClockMs, int64_t fileMs);
    // Writes the open cue, lasting to the last block written (that block's
    // millisecond included); before the trailer.
    int finish(AVFormatContext *context);

private:
    int writeCue(AVFormatContext *context, int64_t endMs);
    // The cue text for a block recorded at `wallClockMs`:
    // "2026-12-06 10:03:17 +01:00" (local time).
    QByteArray cueText(int64_t wallClockMs);

    int _streamIndex = -1;
    int64_t _cueWallClockMs = 0;  // the open cue's first block, in recorded time
    int64_t _cueStartMs = -1;     // and in file time; -1: no cue open
    int64_t _lastFileMs = 0;      // of the last block written
    // The text of the latest cue and the minute (seconds since the Unix
    // epoch) it lies in; empty when that minute's offset is not whole minutes.
    QByteArray _text;
    int64_t _textMinute = 0;
};

#endif  // PLUGIN_EXPORT_TIMETRACK_H_
