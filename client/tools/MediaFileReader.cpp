#include "client/tools/MediaFileReader.h"

#include "client/archive/Recorder.h"
#include "client/media/FourCC.h"

#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <climits>

extern "C" {
#include <libavutil/parseutils.h>
}

namespace tools {

namespace {

constexpr AVRational kMilliseconds{1, 1000};
constexpr int kG711SampleRate = 8000;
// In an hvcC record: the byte whose low bits are the NAL length size less
// one, and the count of parameter set arrays that follow it.
constexpr int kHvccLengthSizeOffset = 21;
constexpr int kHvccArrayCountOffset = 22;
// HEVC NAL unit types of the parameter sets: VPS, SPS, PPS.
constexpr int kHevcVps = 32;
constexpr int kHevcPps = 34;

QString codecName(const AVCodecParameters *parameters)
{
    return QLatin1String(avcodec_get_name(parameters->codec_id));
}

// Whether the codec data is an hvcC record (its version byte first, and
// room for the count of its arrays) rather than Annex B.
bool isHvccRecord(const AVCodecParameters *parameters)
{
    return parameters->extradata_size > kHvccArrayCountOffset && parameters->extradata[0] == 1;
}

// Whether every parameter set an hvcC record announces lies inside it.
// FFmpeg 5.1's hevc_mp4toannexb grows its output once per announced set, even
// past the record's end (where it reads zeros), before it gives up: a damaged
// record announcing 48,798 sets took 33 s and 2 GB in a sanitizer build.
// Annex B configurations (starting with a start code) are passed through by
// the filter and need no check.
bool hvccSetsFit(const AVCodecParameters *parameters)
{
    const uint8_t *data = parameters->extradata;
    const int64_t sizeBytes = parameters->extradata_size;
    if (!isHvccRecord(parameters))
        return true;  // no hvcC record: the filter decides
    int64_t at = kHvccArrayCountOffset + 1;
    for (int array = data[kHvccArrayCountOffset]; array > 0; --array) {
        if (at + 3 > sizeBytes)
            return false;
        const int sets = (data[at + 1] << 8) | data[at + 2];
        at += 3;
        for (int set = 0; set < sets; ++set) {
            if (at + 2 > sizeBytes)
                return false;
            at += 2 + ((data[at] << 8) | data[at + 1]);
            if (at > sizeBytes)
                return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<MediaFileReader> MediaFileReader::open(const QString &path, Outcome *outcome)
{
    if (!QFileInfo(path).isFile()) {
        *outcome = Outcome::refused(QStringLiteral("%1: no such file").arg(path));
        return nullptr;
    }
    std::unique_ptr<MediaFileReader> reader(new MediaFileReader(path));
    AVFormatContext *context = nullptr;
    int result = avformat_open_input(&context, QFile::encodeName(path).constData(), nullptr, nullptr);
    if (result < 0) {
        *outcome = Outcome::refused(
            QStringLiteral("%1: not a media file (avformat_open_input: %2)").arg(path, media::errorString(result)));
        return nullptr;
    }
    reader->_demuxer.reset(context);
    result = avformat_find_stream_info(context, nullptr);
    if (result < 0) {
        *outcome = Outcome::refused(QStringLiteral("%1: cannot read the streams (avformat_find_stream_info: %2)")
                                        .arg(path, media::errorString(result)));
        return nullptr;
    }
    *outcome = reader->selectStreams();
    if (!outcome->ok())
        return nullptr;
    reader->_originMs = reader->originMs();
    return reader;
}

Outcome MediaFileReader::selectStreams()
{
    for (unsigned i = 0; i < _demuxer->nb_streams; ++i) {
        const AVStream *stream = _demuxer->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && _video.index < 0 && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            _video.index = int(i);
        else if (type == AVMEDIA_TYPE_AUDIO && _audio.index < 0)
            _audio.index = int(i);
    }
    if (!hasVideo() && !hasAudio())
        return Outcome::refused(QStringLiteral("%1: has neither video nor audio").arg(_path));
    Outcome outcome = hasVideo() ? prepareVideo() : Outcome::success();
    if (outcome.ok() && hasAudio())
        outcome = prepareAudio();
    return outcome;
}

Outcome MediaFileReader::prepareVideo()
{
    const AVCodecParameters *parameters = _demuxer->streams[_video.index]->codecpar;
    const char *filterName = nullptr;
    switch (parameters->codec_id) {
    case AV_CODEC_ID_H264:
        _video.fourcc = fourcc::kH264;
        filterName = "h264_mp4toannexb";
        break;
    case AV_CODEC_ID_HEVC:
        _video.fourcc = fourcc::kHevc;
        filterName = "hevc_mp4toannexb";
        if (!hvccSetsFit(parameters))
            return Outcome::refused(QStringLiteral("%1: the HEVC configuration record is damaged").arg(_path));
        break;
    case AV_CODEC_ID_MJPEG:
        _video.fourcc = fourcc::kMjpeg;
        break;
    default:
        return Outcome::refused(QStringLiteral("%1: video codec %2 is not supported (h264, hevc or mjpeg only)")
                                    .arg(_path, codecName(parameters)));
    }
    if (!filterName)
        return Outcome::success();
    Outcome outcome = openAnnexBFilter(filterName, parameters, &_annexB);
    // A record's sets go to key frames that carry none of their own; FFmpeg
    // 5.1's hevc_mp4toannexb adds them to every key frame, so key frames
    // with their own pass a second filter that is given a record announcing
    // no sets (the same length size) and adds nothing.
    if (outcome.ok() && parameters->codec_id == AV_CODEC_ID_HEVC && isHvccRecord(parameters)) {
        media::CodecParametersHolder bare(avcodec_parameters_alloc());
        if (!bare || avcodec_parameters_copy(bare.get(), parameters) < 0)
            return failure("avcodec_parameters_copy", AVERROR(ENOMEM));
        bare->extradata_size = kHvccArrayCountOffset + 1;
        bare->extradata[kHvccArrayCountOffset] = 0;
        _lengthBytes = (parameters->extradata[kHvccLengthSizeOffset] & 3) + 1;
        outcome = openAnnexBFilter(filterName, bare.get(), &_annexBAsIs);
    }
    return outcome;
}

Outcome MediaFileReader::openAnnexBFilter(const char *name, const AVCodecParameters *parameters, media::BsfHolder *holder)
{
    AVBSFContext *filter = nullptr;
    int result = av_bsf_alloc(av_bsf_get_by_name(name), &filter);
    if (result < 0)
        return failure("av_bsf_alloc", result);
    holder->reset(filter);
    result = avcodec_parameters_copy(filter->par_in, parameters);
    if (result >= 0) {
        filter->time_base_in = _demuxer->streams[_video.index]->time_base;
        result = av_bsf_init(filter);
    }
    return result < 0 ? failure(name, result) : Outcome::success();
}

bool MediaFileReader::carriesParameterSets(const AVPacket *packet) const
{
    const uint8_t *data = packet->data;
    for (int64_t at = 0; at + _lengthBytes < packet->size;) {
        int64_t sizeBytes = 0;
        for (int i = 0; i < _lengthBytes; ++i)
            sizeBytes = sizeBytes << 8 | data[at++];
        if (sizeBytes == 0 || at + sizeBytes > packet->size)
            return false;
        const int type = (data[at] >> 1) & 0x3f;
        if (type >= kHevcVps && type <= kHevcPps)
            return true;
        at += sizeBytes;
    }
    return false;
}

Outcome MediaFileReader::prepareAudio()
{
    const AVCodecParameters *parameters = _demuxer->streams[_audio.index]->codecpar;
    switch (parameters->codec_id) {
    case AV_CODEC_ID_AAC: {
        _audio.fourcc = fourcc::kAac;
        QString error;
        _adts = AdtsWrapper::forStream(parameters, &error);
        if (!_adts)
            return Outcome::refused(QStringLiteral("%1: this AAC cannot be sent as ADTS (%2)").arg(_path, error));
        return Outcome::success();
    }
    case AV_CODEC_ID_PCM_MULAW:
    case AV_CODEC_ID_PCM_ALAW:
        _audio.fourcc = parameters->codec_id == AV_CODEC_ID_PCM_MULAW ? fourcc::kUlaw : fourcc::kAlaw;
        if (parameters->sample_rate != kG711SampleRate || parameters->ch_layout.nb_channels != 1)
            return Outcome::refused(QStringLiteral("%1: G.711 audio must be 8000 Hz mono, not %2 Hz with %3 channel(s)")
                                        .arg(_path)
                                        .arg(parameters->sample_rate)
                                        .arg(parameters->ch_layout.nb_channels));
        return Outcome::success();
    default:
        return Outcome::refused(QStringLiteral("%1: audio codec %2 is not supported (aac, pcm_mulaw or pcm_alaw only)")
                                    .arg(_path, codecName(parameters)));
    }
}

int64_t MediaFileReader::originMs() const
{
    int64_t earliestMs = INT64_MAX;
    for (const Stream *taken : {&_video, &_audio}) {
        if (taken->index < 0)
            continue;
        const AVStream *stream = _demuxer->streams[taken->index];
        if (stream->start_time != AV_NOPTS_VALUE)
            earliestMs = std::min(earliestMs, av_rescale_q(stream->start_time, stream->time_base, kMilliseconds));
    }
    // Without stream start times the first timed packet sets the origin.
    return earliestMs;
}

int64_t MediaFileReader::creationTimeMs() const
{
    const AVDictionaryEntry *entry = av_dict_get(_demuxer->metadata, "creation_time", nullptr, 0);
    int64_t timeUs = 0;
    if (!entry || av_parse_time(&timeUs, entry->value, 0) < 0)
        return -1;
    return timeUs / 1000;
}

QString MediaFileReader::streamSummary() const
{
    QStringList parts;
    if (hasVideo()) {
        const AVCodecParameters *video = _demuxer->streams[_video.index]->codecpar;
        parts << QStringLiteral("%1 %2x%3").arg(codecName(video)).arg(video->width).arg(video->height);
    }
    if (hasAudio()) {
        const AVCodecParameters *audio = _demuxer->streams[_audio.index]->codecpar;
        parts << QStringLiteral("%1 %2 Hz").arg(codecName(audio)).arg(audio->sample_rate);
    }
    return parts.join(QStringLiteral(" + "));
}

MediaFileReader::Result MediaFileReader::read(int64_t fragmentStartMs, std::vector<Block> *blocks, Outcome *outcome)
{
    if (_ended)
        return Result::End;
    media::PacketHolder packet(av_packet_alloc());
    while (blocks->empty()) {
        const int result = av_read_frame(_demuxer.get(), packet.get());
        if (result == AVERROR_EOF) {
            _ended = true;
            // The filter may hold the last access unit back.
            if (_annexB && takeVideo(nullptr, fragmentStartMs, blocks, outcome) == Result::Failed)
                return Result::Failed;
            return blocks->empty() ? Result::End : Result::Blocks;
        }
        if (result < 0) {
            *outcome = failure("av_read_frame", result);
            return Result::Failed;
        }
        Result taken = Result::Blocks;
        if (packet->stream_index == _video.index)
            taken = takeVideo(packet.get(), fragmentStartMs, blocks, outcome);
        else if (packet->stream_index == _audio.index)
            taken = takeAudio(packet.get(), fragmentStartMs, blocks, outcome);
        av_packet_unref(packet.get());
        if (taken == Result::Failed)
            return Result::Failed;
    }
    return Result::Blocks;
}

MediaFileReader::Result MediaFileReader::takeVideo(AVPacket *packet, int64_t fragmentStartMs,
                                                   std::vector<Block> *blocks, Outcome *outcome)
{
    if (packet && !inDisplayOrder(packet)) {
        *outcome = refuseBFrames();
        return Result::Failed;
    }
    std::vector<media::PacketHolder> filtered;
    if (_annexB) {
        AVBSFContext *filter = _annexBAsIs && packet && carriesParameterSets(packet) ? _annexBAsIs.get() : _annexB.get();
        int result = av_bsf_send_packet(filter, packet);
        for (;;) {
            if (result < 0)
                break;
            media::PacketHolder out(av_packet_alloc());
            result = av_bsf_receive_packet(filter, out.get());
            if (result >= 0)
                filtered.push_back(std::move(out));
        }
        if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
            *outcome = failure(filter->filter->name, result);
            return Result::Failed;
        }
    } else {
        filtered.emplace_back(av_packet_clone(packet));
    }
    for (const media::PacketHolder &access : filtered) {
        const bool key = access->flags & AV_PKT_FLAG_KEY;
        if (!key && !_videoKeySeen)
            continue;
        _videoKeySeen = true;
        blocks->push_back(Block{archive::kVideoStream, blockTimeMs(&_video, access.get(), fragmentStartMs), key,
                                blockPayload(_video.fourcc, access.get())});
    }
    return Result::Blocks;
}

MediaFileReader::Result MediaFileReader::takeAudio(AVPacket *packet, int64_t fragmentStartMs,
                                                   std::vector<Block> *blocks, Outcome *outcome)
{
    QByteArray payload;
    QString error;
    if (!blockPayload(_audio.fourcc, packet, _adts.get(), &payload, &error)) {
        *outcome = Outcome::failed(QStringLiteral("%1: %2").arg(_path, error));
        return Result::Failed;
    }
    blocks->push_back(Block{archive::kAudioStream, blockTimeMs(&_audio, packet, fragmentStartMs), false, std::move(payload)});
    return Result::Blocks;
}

int64_t MediaFileReader::blockTimeMs(Stream *stream, const AVPacket *packet, int64_t fragmentStartMs)
{
    int64_t timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    // Raw streams (an .h264 file) carry durations only: a packet without a
    // time follows the one before it.
    if (timestamp == AV_NOPTS_VALUE)
        timestamp = stream->nextTimestamp != AV_NOPTS_VALUE ? stream->nextTimestamp : 0;
    stream->nextTimestamp = timestamp + std::max<int64_t>(0, packet->duration);
    const int64_t timeMs = av_rescale_q(timestamp, _demuxer->streams[stream->index]->time_base, kMilliseconds);
    if (_originMs == INT64_MAX)
        _originMs = timeMs;
    return fragmentStartMs + std::max<int64_t>(0, timeMs - _originMs);
}

bool MediaFileReader::inDisplayOrder(const AVPacket *packet)
{
    // Packets come in decode order: with B-frames, a picture shown earlier
    // comes after one shown later. The declared reorder room of the
    // parameter sets says only what a stream may do (cameras declare some
    // and never use it), and decode times do not tell either: demuxers of
    // formats that store none, such as Matroska, make them up from that room.
    if (packet->pts != AV_NOPTS_VALUE) {
        if (_video.lastPts != AV_NOPTS_VALUE && packet->pts < _video.lastPts)
            return false;
        _video.lastPts = packet->pts;
        return true;
    }
    // A raw stream carries no times: what its parameter sets declare is all
    // there is to go by.
    return _demuxer->streams[_video.index]->codecpar->video_delay == 0;
}

Outcome MediaFileReader::refuseBFrames() const
{
    return Outcome::refused(QStringLiteral("%1: the video has B-frames (decode order differs from display order), "
                                           "which blocks of a single time cannot hold; re-encode it without B-frames")
                                .arg(_path));
}

Outcome MediaFileReader::failure(const char *call, int errorCode) const
{
    return Outcome::failed(QStringLiteral("%1: %2 failed: %3").arg(_path, QLatin1String(call), media::errorString(errorCode)));
}

}  // namespace tools
