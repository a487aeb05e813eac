#include "tests/plugin/export/Harness.h"

#include "client/archive/ArchiveComponents.h"
#include "client/archive/Recorder.h"
#include "client/codecs/FormatManager.h"
#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"
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
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <algorithm>
#include <memory>

namespace harness {

namespace {

struct PacketFreer {
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct FormatContextCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};

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

    // A null `data` drains the decoder.
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
    std::unique_ptr<AVCodecContext, CodecContextFreer> _context;
};

QString metadata(const AVDictionary *dictionary, const char *key)
{
    const AVDictionaryEntry *entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry ? QString::fromUtf8(entry->value) : QString();
}

}  // namespace

int ReportLog::count(uint32_t kind) const
{
    return int(std::count_if(reports.begin(), reports.end(), [kind](const Report &r) { return r.kind == kind; }));
}

QString ReportLog::summary() const
{
    QStringList parts;
    for (const Report &report : reports) {
        switch (report.kind) {
        case ControllerEvent::FileStarted:
            parts << QStringLiteral("started@%1").arg(report.timeMs);
            break;
        case ControllerEvent::FileClosed:
            parts << QStringLiteral("closed@%1").arg(report.timeMs);
            break;
        case ControllerEvent::Finished:
            parts << QStringLiteral("finished");
            break;
        case ControllerEvent::Error:
            parts << QStringLiteral("error%1").arg(report.code);
            break;
        default:
            break;
        }
    }
    return parts.join(QLatin1Char(' '));
}

void ReportLog::customEvent(QEvent *event)
{
    if (auto *report = dynamic_cast<ControllerEvent *>(event))
        reports.push_back(Report{report->kind, report->code, report->progress, report->time});
}

bool ExportRun::begin(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager,
                      const Request &request, bool postStart)
{
    controller = Controller::create(source, manager, request.nullReceiver ? nullptr : &log, request.dir,
                                    request.limitEnabled, request.limitMb, request.debugLevel);
    if (!controller)
        return false;
    thread.start();
    controller->moveToThread(&thread);
    if (postStart)
        QCoreApplication::postEvent(controller, new ExportEvent(0, request.fromMs, request.toMs));
    return true;
}

bool ExportRun::waitFor(const std::function<bool()> &done, int guardMs)
{
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > guardMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(1);
    }
    return true;
}

bool ExportRun::ended() const { return log.count(ControllerEvent::Finished) + log.count(ControllerEvent::Error) > 0; }

void ExportRun::finish()
{
    if (controller) {
        controller->stop();
        controller->deleteLater();
        controller = nullptr;
    }
    thread.quit();
    thread.wait();
    QCoreApplication::sendPostedEvents(&log);
}

void synth(const QString &dir, const QStringList &args)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(VELT_ARCHIVE_TOOL), QStringList{QStringLiteral("synth"), dir} + args);
    ASSERT_TRUE(tool.waitForFinished(300000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAll().toStdString();
}

int64_t localMs(const QString &text) { return QDateTime::fromString(text, Qt::ISODate).toMSecsSinceEpoch(); }

int Result::count(uint32_t kind) const
{
    return int(std::count_if(reports.begin(), reports.end(), [kind](const Report &r) { return r.kind == kind; }));
}

std::vector<uint32_t> Result::kinds() const
{
    std::vector<uint32_t> out;
    for (const Report &report : reports) {
        if (report.kind != ControllerEvent::Progress)
            out.push_back(report.kind);
    }
    return out;
}

std::vector<Result> runExportsAtOnce(const std::vector<std::pair<QString, Request>> &jobs)
{
    velt::registerTranslator();
    archive::registerComponents();
    struct Running {
        velt::ComponentManager manager;
        ComponentRef<IArchiveVideoSource> source;
        ExportRun run;
        bool created = false;
    };
    std::vector<std::unique_ptr<Running>> running;
    for (const auto &[archiveDir, request] : jobs) {
        running.push_back(std::make_unique<Running>());
        Running &r = *running.back();
        codecs::publish(r.manager);
        QString error;
        r.source = archive::openSource(archiveDir, &error);
        EXPECT_TRUE(r.source) << error.toStdString();
        r.created = r.run.begin(r.source, &r.manager, request);
    }
    std::vector<Result> results;
    for (size_t i = 0; i < jobs.size(); ++i) {
        Running &r = *running[i];
        EXPECT_TRUE(!r.created || r.run.waitFor([&] { return r.run.ended(); })) << "the export did not end";
        r.run.finish();
        r.manager.clear();
        r.source.reset();
        results.push_back(Result{r.run.log.reports, {}});
    }
    // Once every export has ended: the files of one may take names another wanted.
    for (size_t i = 0; i < jobs.size(); ++i) {
        for (const QString &name : mkvFiles(jobs[i].second.dir))
            results[i].files << QDir(jobs[i].second.dir).filePath(name);
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
    contents.creationTime = metadata(input->metadata, "creation_time");
    contents.title = metadata(input->metadata, "title");
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter *chapter = input->chapters[i];
        contents.chapters.emplace_back(av_rescale_q(chapter->start, chapter->time_base, AVRational{1, 1000}),
                                       metadata(chapter->metadata, "title"));
    }
    std::unique_ptr<Decoder> decoder;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters *par = input->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            contents.videoCodec = QString::fromLatin1(avcodec_get_name(par->codec_id));
            contents.width = par->width;
            decoder = std::make_unique<Decoder>(par->codec_id, par);
        }
    }
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const AVStream *stream = input->streams[packet->stream_index];
        const bool video = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        contents.packets.push_back(Packet{packet->stream_index, video,
                                          av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000}),
                                          (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                          QByteArray(reinterpret_cast<const char *>(packet->data), packet->size)});
        if (video && decoder)
            decoder->push(packet->data, packet->size);
        av_packet_unref(packet.get());
    }
    if (decoder) {
        decoder->push(nullptr, 0);
        contents.frames = decoder->frames;
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
        frames.insert(frames.end(), file.frames.begin(), file.frames.end());
    return frames;
}

QStringList mkvFiles(const QString &dir)
{
    return QDir(dir).entryList(QStringList{QStringLiteral("*.mkv")}, QDir::Files, QDir::Name);
}

testing::AssertionResult hasChecksum(const QString &path)
{
    QFile file(path);
    QFile checksum(path + QStringLiteral(".sha256"));
    if (!file.open(QIODevice::ReadOnly) || !checksum.open(QIODevice::ReadOnly))
        return testing::AssertionFailure() << "cannot read " << path.toStdString() << " or its checksum";
    QCryptographicHash sha(QCryptographicHash::Sha256);
    sha.addData(&file);
    const QByteArray expected = sha.result().toHex() + "  " + QFileInfo(path).fileName().toUtf8() + "\n";
    const QByteArray line = checksum.readAll();
    if (line != expected)
        return testing::AssertionFailure() << "checksum file holds '" << line.toStdString() << "'";
    return testing::AssertionSuccess();
}

std::vector<QJsonObject> recordsIn(const QString &dir)
{
    std::vector<QJsonObject> records;
    for (const QString &name : QDir(dir).entryList({QStringLiteral("export-*.json")}, QDir::Files, QDir::Name)) {
        QFile json(QDir(dir).filePath(name));
        QJsonParseError error{};
        EXPECT_TRUE(json.open(QIODevice::ReadOnly)) << name.toStdString();
        records.push_back(QJsonDocument::fromJson(json.readAll(), &error).object());
        EXPECT_EQ(error.error, QJsonParseError::NoError) << name.toStdString();
    }
    return records;
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
    ComponentRef<IArchiveReader> reader = static_cast<IDataSource *>(source.get())->archiveReader();
    ComponentRef<IBlockSource> blockSource = reader->blockSource();
    int64_t feedAt = reader->beginTime();
    const int64_t end = reader->endTime();
    for (;;) {
        // Read to the marker a feed ends with, then feed again at its time.
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

void recordArchive(const QString &dir, const std::vector<Piece> &pieces, bool oneFragment)
{
    QString error;
    auto recorder = archive::Recorder::create(dir, &error);
    ASSERT_TRUE(recorder) << error.toStdString();
    for (const Piece &piece : pieces) {
        if (!oneFragment || &piece == &pieces.front()) {
            ASSERT_TRUE(recorder->beginFragment(&error)) << error.toStdString();
        }
        const int64_t shift = piece.startMs - piece.blocks.front().timeMs;
        for (const ArchiveBlock &block : piece.blocks)
            ASSERT_TRUE(recorder->append(uint8_t(block.stream), block.timeMs + shift, block.key, block.payload, &error))
                << error.toStdString();
    }
    ASSERT_TRUE(recorder->close(&error)) << error.toStdString();
}

std::vector<QByteArray> decodeVideo(const std::vector<ArchiveBlock> &blocks)
{
    std::unique_ptr<Decoder> decoder;
    for (const ArchiveBlock &block : blocks) {
        if (block.stream != 0 || (!decoder && !block.key))
            continue;
        if (!decoder)
            decoder = std::make_unique<Decoder>(codecs::codecIdOf(fourcc::of(block.payload)), nullptr);
        decoder->push(reinterpret_cast<const uint8_t *>(block.payload.constData()) + 4, int(block.payload.size()) - 4);
    }
    if (!decoder)
        return {};
    decoder->push(nullptr, 0);
    return decoder->frames;
}

QByteArray storedBytes(const ArchiveBlock &block)
{
    QByteArray bytes = block.payload.mid(4);
    if (fourcc::of(block.payload) == fourcc::kAac && bytes.size() >= 7)
        bytes = bytes.mid((bytes[1] & 1) ? 7 : 9);  // protection absent: a 7-byte header
    return bytes;
}

FakeExportTest::FakeExportTest()
{
    velt::registerTranslator();
    fakes::registerQueue();
    components.setComponent(guids::kAVFormatManager, fakes::formatManager());
    archive->setFragments({{1000, 100000}});
}

FakeExportTest::~FakeExportTest()
{
    run.finish();
    velt::unregisterFactory(guids::kEncodedDataQueue);
}

Request FakeExportTest::request(int64_t fromMs, int64_t toMs, const QString &subdir) const
{
    Request r;
    r.dir = subdir.isEmpty() ? dir.path() : dir.filePath(subdir);
    EXPECT_TRUE(QDir().mkpath(r.dir));
    r.fromMs = fromMs;
    r.toMs = toMs;
    return r;
}

QString FakeExportTest::exportToEnd(const Request &r, int readyAfterKeyBlocks)
{
    components.setComponent(guids::kAVFormatManager, fakes::formatManager(readyAfterKeyBlocks));
    run.log.reports.clear();
    if (!run.begin(fakes::archiveSource(archive), &components, r))
        return QStringLiteral("no controller");
    const bool ended = run.waitFor([this] { return run.ended(); }, 10000);
    run.finish();
    components.clear();
    return (ended ? QString() : QStringLiteral("hung: ")) + run.log.summary();
}

QString FakeExportTest::layout(const QString &outDir)
{
    QStringList files;
    for (const QString &name : mkvFiles(outDir)) {
        std::vector<QStringList> streams;
        for (const Packet &packet : readFile(QDir(outDir).filePath(name)).packets) {
            streams.resize(std::max(streams.size(), size_t(packet.stream) + 1));
            streams[size_t(packet.stream)] << QString::number(packet.ptsMs);
        }
        QStringList parts;
        for (const QStringList &times : streams)
            parts << times.join(QLatin1Char(' '));
        files << parts.join(QStringLiteral("; "));
    }
    return files.join(QStringLiteral(" | "));
}

}  // namespace harness
