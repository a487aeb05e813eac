#include "tests/plugin/export/EndToEndHarness.h"

#include "client/archive/ArchiveComponents.h"
#include "client/codecs/FormatManager.h"
#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"
#include "plugin/export/Controller.h"
#include "plugin/host/Guids.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>

namespace e2e {

namespace {

constexpr int kExportTimeoutMs = 120000;

struct FormatContextCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct PacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;

QByteArray pictureMd5(const AVFrame *frame)
{
    const auto format = AVPixelFormat(frame->format);
    const int size = av_image_get_buffer_size(format, frame->width, frame->height, 1);
    QByteArray bytes(size, Qt::Uninitialized);
    av_image_copy_to_buffer(reinterpret_cast<uint8_t *>(bytes.data()), size, frame->data, frame->linesize, format,
                            frame->width, frame->height, 1);
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// Decodes packets pushed in order and collects picture checksums.
class Decoder {
public:
    Decoder(AVCodecID id, const AVCodecParameters *parameters)
    {
        const AVCodec *codec = avcodec_find_decoder(id);
        _context.reset(avcodec_alloc_context3(codec));
        if (parameters)
            avcodec_parameters_to_context(_context.get(), parameters);
        _context->thread_count = 1;
        avcodec_open2(_context.get(), codec, nullptr);
    }

    void push(const uint8_t *data, int size)
    {
        std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
        if (data) {
            av_new_packet(packet.get(), size);
            memcpy(packet->data, data, size_t(size));
        }
        avcodec_send_packet(_context.get(), data ? packet.get() : nullptr);
        std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
        while (avcodec_receive_frame(_context.get(), frame.get()) == 0)
            frames.push_back(pictureMd5(frame.get()));
    }

    std::vector<QByteArray> frames;

private:
    CodecContext _context;
};

}  // namespace

void synth(const QString &dir, const QStringList &args)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(VELT_ARCHIVE_TOOL), QStringList{QStringLiteral("synth"), dir} + args);
    ASSERT_TRUE(tool.waitForFinished(300000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAll().toStdString();
}

int64_t localMs(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODate).toMSecsSinceEpoch();
}

int ExportResult::count(uint32_t kind) const
{
    return int(std::count_if(reports.begin(), reports.end(), [kind](const Report &report) { return report.kind == kind; }));
}

ExportResult runExport(const QString &archiveDir, const QString &outDir, const ExportOptions &options)
{
    return runExportsAtOnce({ExportJob{archiveDir, outDir, options}}).front();
}

std::vector<ExportResult> runExportsAtOnce(const std::vector<ExportJob> &jobs)
{
    velt::registerTranslator();
    archive::registerComponents();
    // Each export has its own components, as in two clients.
    struct Running {
        velt::ComponentManager manager;
        ComponentRef<IArchiveVideoSource> source;
        exporttest::ExportRun run;
        ExportResult result;
    };
    std::vector<std::unique_ptr<Running>> running;
    for (const ExportJob &job : jobs) {
        running.push_back(std::make_unique<Running>());
        Running &r = *running.back();
        codecs::publish(r.manager);
        QString error;
        r.source = archive::openSource(job.archiveDir, &error);
        EXPECT_TRUE(r.source) << error.toStdString();
        exporttest::ExportRequest request;
        request.dir = job.outDir;
        request.limitEnabled = job.options.limitEnabled;
        request.limitMb = job.options.limitMb;
        request.fromMs = job.options.from;
        request.toMs = job.options.to;
        r.result.created = r.run.begin(r.source, &r.manager, request);
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        Running &r = *running[i];
        if (!r.result.created)
            continue;
        const int stopAfter = jobs[i].options.stopAfterFiles;
        const bool ended = r.run.waitFor(
            [&] { return r.run.ended() || (stopAfter > 0 && r.run.log.count(ControllerEvent::FileStarted) >= stopAfter); },
            kExportTimeoutMs);
        EXPECT_TRUE(ended) << "the export did not end";
        r.run.finish();
        r.manager.clear();
        r.source.reset();
        r.result.reports = r.run.log.reports;
    }
    std::vector<ExportResult> results;
    for (size_t i = 0; i < jobs.size(); ++i) {
        const QDir out(jobs[i].outDir);
        for (const QString &name : out.entryList(QStringList{QStringLiteral("*.mkv")}, QDir::Files, QDir::Name))
            running[i]->result.files << out.filePath(name);
        results.push_back(running[i]->result);
    }
    return results;
}

FileContents readFile(const QString &path)
{
    FileContents contents;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << path.toStdString();
        return contents;
    }
    std::unique_ptr<AVFormatContext, FormatContextCloser> input(raw);
    avformat_find_stream_info(input.get(), nullptr);
    if (const AVDictionaryEntry *e = av_dict_get(input->metadata, "creation_time", nullptr, 0))
        contents.creationTime = QString::fromUtf8(e->value);
    if (const AVDictionaryEntry *e = av_dict_get(input->metadata, "title", nullptr, 0))
        contents.title = QString::fromUtf8(e->value);
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter *chapter = input->chapters[i];
        const AVDictionaryEntry *e = av_dict_get(chapter->metadata, "title", nullptr, 0);
        contents.chapters.emplace_back(av_rescale_q(chapter->start, chapter->time_base, AVRational{1, 1000}),
                                       e ? QString::fromUtf8(e->value) : QString());
    }

    std::vector<int> kindOf(input->nb_streams, -1);
    std::unique_ptr<Decoder> decoder;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters *par = input->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            kindOf[i] = 0;
            contents.videoCodec = QString::fromLatin1(avcodec_get_name(par->codec_id));
            contents.width = par->width;
            contents.height = par->height;
            decoder = std::make_unique<Decoder>(par->codec_id, par);
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            kindOf[i] = 1;
            contents.audioCodec = QString::fromLatin1(avcodec_get_name(par->codec_id));
            contents.sampleRate = par->sample_rate;
        }
    }
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const AVStream *stream = input->streams[packet->stream_index];
        const int kind = kindOf[size_t(packet->stream_index)];
        if (kind >= 0) {
            contents.packets.push_back(Packet{kind, av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000}),
                                              (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                              QByteArray(reinterpret_cast<const char *>(packet->data), packet->size)});
            if (kind == 0 && decoder)
                decoder->push(packet->data, packet->size);
        }
        av_packet_unref(packet.get());
    }
    if (decoder) {
        decoder->push(nullptr, 0);
        contents.videoFrames = decoder->frames;
    }
    return contents;
}

std::vector<FileContents> readFiles(const QStringList &paths)
{
    std::vector<FileContents> files;
    for (const QString &path : paths)
        files.push_back(readFile(path));
    return files;
}

std::vector<QByteArray> framesOf(const std::vector<FileContents> &files)
{
    std::vector<QByteArray> frames;
    for (const FileContents &file : files)
        frames.insert(frames.end(), file.videoFrames.begin(), file.videoFrames.end());
    return frames;
}

int checksumStatus(const QString &path)
{
    QProcess sha;
    sha.setWorkingDirectory(QFileInfo(path).path());
    sha.start(QStringLiteral("sha256sum"), {QStringLiteral("-c"), QFileInfo(path).fileName() + ".sha256"});
    sha.waitForFinished();
    return sha.exitStatus() == QProcess::NormalExit ? sha.exitCode() : -1;
}

std::vector<ArchiveBlock> readArchive(const QString &archiveDir)
{
    archive::registerComponents();
    std::vector<ArchiveBlock> blocks;
    QString error;
    ComponentRef<IArchiveVideoSource> source = archive::openSource(archiveDir, &error);
    if (!source) {
        ADD_FAILURE() << error.toStdString();
        return blocks;
    }
    ComponentRef<IVideoSource> video = source->videoSource();
    ComponentRef<IArchiveReader> reader = static_cast<IDataSource *>(video.get())->archiveReader();
    ComponentRef<IBlockSource> blockSource = reader->blockSource();
    int64_t feedAt = reader->beginTime();
    const int64_t end = reader->endTime();
    for (;;) {
        ComponentRef<IEncodedDataQueue> queue(guids::kEncodedDataQueue);
        ReadCursor cursor{0, 0, true};
        blockSource->feed(feedAt, queue);
        QByteArray data;
        uint32_t stream = 0;
        bool key = false;
        int64_t time = 0, scratch = 0;
        bool marker = false;
        while (queue->readBlock(&data, &stream, &key, &time, &scratch, &cursor, 0, 1, nullptr, nullptr)) {
            if (stream == 0 && data.isEmpty()) {
                marker = true;
                break;
            }
            blocks.push_back(ArchiveBlock{int(stream), time, key, QByteArray(data.constData(), data.size())});
        }
        if (!marker || time > end)
            break;
        feedAt = time;
    }
    return blocks;
}

std::vector<QByteArray> decodeVideo(const std::vector<ArchiveBlock> &blocks)
{
    std::unique_ptr<Decoder> decoder;
    for (const ArchiveBlock &block : blocks) {
        if (block.stream != 0)
            continue;
        if (!decoder) {
            if (!block.key)
                continue;
            decoder = std::make_unique<Decoder>(codecs::codecIdOf(fourcc::of(block.payload)), nullptr);
        }
        decoder->push(reinterpret_cast<const uint8_t *>(block.payload.constData()) + 4, block.payload.size() - 4);
    }
    if (!decoder)
        return {};
    decoder->push(nullptr, 0);
    return decoder->frames;
}

QByteArray rawAudio(const QByteArray &payload)
{
    QByteArray bytes = payload.mid(4);
    if (fourcc::of(payload) == fourcc::kAac && bytes.size() >= 7) {
        const bool protectionAbsent = bytes[1] & 1;
        bytes = bytes.mid(protectionAbsent ? 7 : 9);
    }
    return bytes;
}

}  // namespace e2e
