#include "plugin/export/TimeTrack.h"

#include "plugin/export/FFmpeg.h"

#include <QDateTime>
#include <cstring>
#include <algorithm>
#include <cstdlib>

namespace {

// "yyyy-MM-dd hh:mm:ss +hh:mm": its length, and where the seconds are.
constexpr int kTextBytes = 26;
constexpr int kSecondsAt = 17;

// The second (since the Unix epoch) that holds `ms`, also before 1970.
int64_t secondOf(int64_t ms)
{
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

// "2026-12-06 10:03:17 +01:00": the local time of `ms` to the second, and
// its offset from UTC, which tells apart the two hours that a change back
// from summer time gives the same local times.
QByteArray localText(int64_t ms, int *offsetSeconds)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    *offsetSeconds = local.offsetFromUtc();
    return (local.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ")) + TimeTrack::offsetText(*offsetSeconds)).toUtf8();
}

}  // namespace

QString TimeTrack::offsetText(int offsetSeconds)
{
    const int minutes = std::abs(offsetSeconds) / 60;
    return QString::asprintf("%c%02d:%02d", offsetSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QByteArray TimeTrack::cueText(int64_t wallClockMs)
{
    // Local time through Qt costs tens of microseconds, some percent of an
    // export's processor time if asked every second. Zones change their
    // offset only at whole minutes (since 1972 all offsets are whole
    // minutes), so it is asked once a minute and the seconds filled in.
    const int64_t second = secondOf(wallClockMs);
    const int64_t minute = second - (second % 60 + 60) % 60;
    if (minute != _textMinute || _text.isEmpty()) {
        int offsetSeconds = 0;
        _text = localText(minute * 1000, &offsetSeconds);
        _textMinute = minute;
        if (offsetSeconds % 60 != 0 || _text.size() != kTextBytes) {
            _text.clear();
            return localText(wallClockMs, &offsetSeconds);
        }
    }
    const int seconds = int(second - minute);
    _text[kSecondsAt] = char('0' + seconds / 10);
    _text[kSecondsAt + 1] = char('0' + seconds % 10);
    return _text;
}

bool TimeTrack::addStream(AVFormatContext *context)
{
    // The Matroska muxer marks every track without the default flag as not
    // default once one track has it: the informers' streams, which set none
    // and so are default as tracks are by default, get it written out.
    bool anyDefault = false;
    for (unsigned i = 0; i < context->nb_streams; ++i)
        anyDefault = anyDefault || (context->streams[i]->disposition & AV_DISPOSITION_DEFAULT);
    for (unsigned i = 0; i < context->nb_streams && !anyDefault; ++i)
        context->streams[i]->disposition |= AV_DISPOSITION_DEFAULT;

    AVStream *stream = avformat_new_stream(context, nullptr);
    if (!stream)
        return false;
    stream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    stream->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
    // Default: players show it without being asked to.
    stream->disposition = AV_DISPOSITION_DEFAULT;
    if (av_dict_set(&stream->metadata, "title", kTitle, 0) < 0)
        return false;
    _streamIndex = stream->index;
    return true;
}

int TimeTrack::beforeBlock(AVFormatContext *context, int64_t wallClockMs, int64_t fileMs)
{
    if (_streamIndex < 0)
        return 0;
    int result = 0;
    // Time never goes back within a file (that starts a new one), but a
    // block stored out of order may still come: it opens no cue.
    if (_cueStartMs < 0 || secondOf(wallClockMs) > secondOf(_cueWallClockMs)) {
        if (_cueStartMs >= 0)
            result = writeCue(context, fileMs);
        _cueWallClockMs = wallClockMs;
        _cueStartMs = fileMs;
    }
    _lastFileMs = std::max(_lastFileMs, fileMs);
    return result;
}

int TimeTrack::finish(AVFormatContext *context)
{
    if (_streamIndex < 0 || _cueStartMs < 0)
        return 0;
    const int result = writeCue(context, _lastFileMs + 1);
    _cueStartMs = -1;
    return result;
}

int TimeTrack::writeCue(AVFormatContext *context, int64_t endMs)
{
    const QByteArray text = cueText(_cueWallClockMs);
    ffmpeg::ScopedPacket scoped;
    AVPacket &packet = scoped.packet;
    const int made = av_new_packet(&packet, int(text.size()));
    if (made < 0)
        return made;
    std::memcpy(packet.data, text.constData(), size_t(text.size()));
    packet.stream_index = _streamIndex;
    packet.pts = _cueStartMs;
    packet.dts = _cueStartMs;
    packet.duration = std::max<int64_t>(endMs - _cueStartMs, 1);
    // Not flagged as key: the muxer would enter the cue in the file's index
    // at a time before that of pictures entered already. Seeking goes by the
    // pictures' entries, and the cue that covers a picture comes after it.
    packet.flags = 0;
    return av_write_frame(context, &packet);
}
