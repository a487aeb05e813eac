#include "tests/client/tools/ToolTestUtil.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

namespace tooltest {

ToolRun runTool(const QStringList &arguments, const QString &workDir)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(QStringLiteral(VELT_ARCHIVE_TOOL), arguments);
    const bool finished = process.waitForFinished(120000);
    EXPECT_TRUE(finished) << "velt-archive " << arguments.join(' ').toStdString();
    const bool crashed = process.exitStatus() != QProcess::NormalExit;
    EXPECT_FALSE(crashed) << "velt-archive crashed: " << arguments.join(' ').toStdString();
    return ToolRun{finished && !crashed ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
                   QString::fromUtf8(process.readAllStandardError())};
}

bool haveFfmpeg()
{
    return !QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty();
}

bool runFfmpeg(const QStringList &arguments, const QString &workDir)
{
    if (!haveFfmpeg())
        return false;
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(QStringLiteral("ffmpeg"),
                  QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                              QStringLiteral("-y")} +
                      arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
                    process.exitCode() == 0;
    EXPECT_TRUE(ok) << "ffmpeg " << arguments.join(' ').toStdString() << "\n"
                    << process.readAllStandardError().toStdString();
    return ok;
}

int64_t localMs(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toMSecsSinceEpoch();
}

std::vector<archive::FragmentInfo> fragmentsOf(const QString &dir)
{
    std::vector<archive::FragmentInfo> fragments;
    QString error;
    EXPECT_TRUE(archive::describe(dir, &fragments, &error)) << error.toStdString();
    return fragments;
}

std::vector<std::vector<archivetest::Block>> blocksOf(const QString &dir)
{
    std::vector<std::vector<archivetest::Block>> result;
    ComponentRef<IArchiveReader> reader = archivetest::openReader(dir);
    if (!reader)
        return result;
    for (const archive::FragmentInfo &fragment : fragmentsOf(dir)) {
        std::vector<archivetest::Block> blocks = archivetest::feed(*reader, fragment.startMs);
        if (!blocks.empty() && blocks.back().payload.isEmpty())
            blocks.pop_back();
        result.push_back(std::move(blocks));
    }
    return result;
}

Decoder::Decoder(AVCodecID codec, const AVCodecParameters *parameters)
{
    _context.reset(avcodec_alloc_context3(avcodec_find_decoder(codec)));
    if (parameters) {
        avcodec_parameters_to_context(_context.get(), parameters);
    } else if (codec == AV_CODEC_ID_PCM_MULAW || codec == AV_CODEC_ID_PCM_ALAW) {
        // What G.711 blocks always are.
        const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        av_channel_layout_copy(&_context->ch_layout, &mono);
        _context->sample_rate = 8000;
    }
    const int result = avcodec_open2(_context.get(), nullptr, nullptr);
    EXPECT_GE(result, 0) << media::errorString(result).toStdString();
}

bool Decoder::decode(const QByteArray &bytes)
{
    media::PacketHolder packet(av_packet_alloc());
    if (av_new_packet(packet.get(), int(bytes.size())) < 0)
        return false;
    memcpy(packet->data, bytes.constData(), size_t(bytes.size()));
    return avcodec_send_packet(_context.get(), packet.get()) >= 0 && receive();
}

bool Decoder::finish()
{
    return avcodec_send_packet(_context.get(), nullptr) >= 0 && receive();
}

bool Decoder::receive()
{
    media::FrameHolder frame(av_frame_alloc());
    for (;;) {
        const int result = avcodec_receive_frame(_context.get(), frame.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0)
            return false;
        if (_context->codec_type == AVMEDIA_TYPE_VIDEO) {
            QByteArray luma;
            for (int y = 0; y < frame->height; ++y)
                luma.append(reinterpret_cast<const char *>(frame->data[0] + y * frame->linesize[0]), frame->width);
            pictures.push_back(luma);
        } else {
            audioFrames.push_back(frame->nb_samples);
        }
        av_frame_unref(frame.get());
    }
}

FileStream readFileStream(const QString &path, AVMediaType type)
{
    FileStream result;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return result;
    media::FormatContextHolder input(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return result;
    const int index = av_find_best_stream(raw, type, -1, -1, nullptr, 0);
    if (index < 0)
        return result;
    const AVStream *stream = raw->streams[index];
    Decoder decoder(stream->codecpar->codec_id, stream->codecpar);
    media::PacketHolder packet(av_packet_alloc());
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == index) {
            const QByteArray bytes(reinterpret_cast<const char *>(packet->data), packet->size);
            result.packets.push_back(bytes);
            result.ptsMs.push_back(av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000}));
            if (type == AVMEDIA_TYPE_VIDEO) {
                EXPECT_TRUE(decoder.decode(bytes));
            }
        }
        av_packet_unref(packet.get());
    }
    EXPECT_TRUE(decoder.finish());
    result.pictures = decoder.pictures;
    return result;
}

}  // namespace tooltest
