#include "tests/plugin/export/Harness.h"

#include "client/archive/ArchiveComponents.h"
#include "client/archive/Recorder.h"
#include "client/codecs/FormatManager.h"
#include "client/codecs/Libav.h"
#include "client/media/FourCC.h"
#include "plugin/host/Guids.h"
#include "tests/client/tools/ToolTestUtil.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

namespace harness {

namespace {

// The MD5 of each picture's luma plane that `packets` decode to, in order.
std::vector<QByteArray> decode(AVCodecID id, const AVCodecParameters *parameters, const std::vector<QByteArray> &packets)
{
    tooltest::Decoder decoder(id, parameters);
    for (const QByteArray &packet : packets)
        decoder.decode(packet);
    decoder.decode(QByteArray());
    return decoder.pictures;
}

QString metadata(const AVDictionary *dictionary, const char *key)
{
    const AVDictionaryEntry *entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry ? QString::fromUtf8(entry->value) : QString();
}

int64_t toMs(int64_t value, AVRational base) { return av_rescale_q(value, base, AVRational{1, 1000}); }

}  // namespace

int Reports::count(uint32_t kind) const
{
    return int(std::count_if(begin(), end(), [kind](const Report &r) { return r.kind == kind; }));
}

QString Reports::summary(bool times) const
{
    static const char *const names[] = {"started@", "closed@", "finished", "error", "progress"};
    QStringList parts;
    for (const Report &r : *this) {
        const QString name = QLatin1String(r.kind < 4 ? names[r.kind] : "unknown");
        if (r.kind == ControllerEvent::Error)
            parts << name + QString::number(r.code);
        else if (r.kind != ControllerEvent::Progress)
            parts << (times && r.timeMs != -1 ? name + QString::number(r.timeMs) : QString(name).remove(QLatin1Char('@')));
    }
    return parts.join(QLatin1Char(' '));
}

void ExportRun::customEvent(QEvent *event)
{
    if (auto *report = dynamic_cast<ControllerEvent *>(event))
        reports.push_back(Report{report->kind, report->code, report->progress, report->time, report->details});
}

bool ExportRun::begin(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager, const Request &request)
{
    controller = Controller::create(source, manager, this, request.dir, request.limitEnabled, request.limitMb,
                                    request.debugLevel, request.timeTrack);
    if (!controller)
        return false;
    thread.start();
    controller->moveToThread(&thread);
    QCoreApplication::postEvent(controller, new ExportEvent(0, request.fromMs, request.toMs));
    return true;
}

void ExportRun::finish()
{
    if (controller) {
        controller->stop();
        controller->deleteLater();
        controller = nullptr;
    }
    thread.quit();
    thread.wait();
    QCoreApplication::sendPostedEvents(this);
}

void synth(const QString &dir, const QStringList &args)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(VELT_ARCHIVE_TOOL), QStringList{QStringLiteral("synth"), dir} + args);
    ASSERT_TRUE(tool.waitForFinished(300000));
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAll().toStdString();
}

int64_t localMs(const QString &isoText) { return QDateTime::fromString(isoText, Qt::ISODate).toMSecsSinceEpoch(); }

std::vector<Result> runExportsAtOnce(const std::vector<std::pair<QString, Request>> &jobs)
{
    velt::registerTranslator();
    archive::registerComponents();
    struct Running {
        velt::ComponentManager manager;
        ComponentRef<IArchiveVideoSource> source;
        ExportRun run;
    };
    std::vector<std::unique_ptr<Running>> running;
    for (const auto &[archiveDir, request] : jobs) {
        auto &r = *running.emplace_back(std::make_unique<Running>());
        codecs::publish(r.manager);
        QString error;
        r.source = archive::openSource(archiveDir, &error);
        EXPECT_TRUE(r.source) << error.toStdString();
        EXPECT_TRUE(r.run.begin(r.source, &r.manager, request));
        if (request.whileRunning)
            request.whileRunning();
    }
    std::vector<Result> results;
    for (const auto &r : running) {
        EXPECT_TRUE(!r->run.controller || r->run.waitForEnd()) << "the export did not end";
        r->run.finish();
        r->manager.clear();
        r->source.reset();
        results.push_back(Result{r->run.reports, {}});
    }
    // Only now: the files of one may take the names another wanted.
    for (size_t i = 0; i < jobs.size(); ++i) {
        for (const QString &name : mkvFiles(jobs[i].second.dir))
            results[i].files << QDir(jobs[i].second.dir).filePath(name);
    }
    return results;
}

FileContents readFile(const QString &path)
{
    FileContents contents;
    AVFormatContext *input = nullptr;
    if (avformat_open_input(&input, path.toUtf8().constData(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << path.toStdString();
        return contents;
    }
    avformat_find_stream_info(input, nullptr);
    contents.creationTime = metadata(input->metadata, "creation_time");
    contents.title = metadata(input->metadata, "title");
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter *chapter = input->chapters[i];
        contents.chapters.emplace_back(toMs(chapter->start, chapter->time_base), metadata(chapter->metadata, "title"));
    }
    const AVCodecParameters *video = nullptr;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream *stream = input->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            video = stream->codecpar;
        if (stream->codecpar->codec_id == AV_CODEC_ID_SUBRIP)
            contents.timeTrack = metadata(stream->metadata, "title") +
                                 ((stream->disposition & AV_DISPOSITION_DEFAULT) ? ", default" : "");
    }
    std::vector<QByteArray> pictures;
    AVPacket *packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        const AVStream *stream = input->streams[packet->stream_index];
        if (stream->codecpar->codec_id == AV_CODEC_ID_SUBRIP) {
            const int64_t startMs = toMs(packet->pts, stream->time_base);
            contents.cues.push_back(Cue{startMs, startMs + toMs(packet->duration, stream->time_base),
                                        QString::fromUtf8(reinterpret_cast<const char *>(packet->data), packet->size)});
            av_packet_unref(packet);
            continue;
        }
        const bool isVideo = stream->codecpar == video;
        contents.packets.push_back(Packet{packet->stream_index, isVideo, (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                          toMs(packet->pts, stream->time_base),
                                          QByteArray(reinterpret_cast<const char *>(packet->data), packet->size)});
        if (isVideo)
            pictures.push_back(contents.packets.back().data);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (video) {
        contents.width = video->width;
        contents.frames = decode(video->codec_id, video, pictures);
        AVCodecParameters *copy = avcodec_parameters_alloc();
        avcodec_parameters_copy(copy, video);
        contents.video.reset(copy, [](const AVCodecParameters *p) {
            auto *owned = const_cast<AVCodecParameters *>(p);
            avcodec_parameters_free(&owned);
        });
    }
    avformat_close_input(&input);
    return contents;
}

std::vector<QByteArray> decodeInOrder(const std::vector<FileContents> &files)
{
    const auto first = std::find_if(files.begin(), files.end(), [](const FileContents &f) { return bool(f.video); });
    if (first == files.end())
        return {};
    std::vector<QByteArray> pictures;
    for (const FileContents &file : files) {
        for (const Packet &packet : file.packets) {
            if (packet.video)
                pictures.push_back(packet.data);
        }
    }
    return decode(first->video->codec_id, first->video.get(), pictures);
}

QStringList mkvFiles(const QString &dir) { return QDir(dir).entryList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Name); }

testing::AssertionResult hasChecksum(const QString &path)
{
    const QByteArray sha256 = QCryptographicHash::hash(clienttest::readFile(path), QCryptographicHash::Sha256).toHex();
    const QByteArray line = clienttest::readFile(path + QStringLiteral(".sha256"));
    if (!QFile::exists(path) || line != sha256 + "  " + QFileInfo(path).fileName().toUtf8() + "\n")
        return testing::AssertionFailure() << "the checksum file holds '" << line.toStdString() << "'";
    return testing::AssertionSuccess();
}

std::vector<QJsonObject> recordsIn(const QString &dir)
{
    std::vector<QJsonObject> records;
    for (const QString &name : QDir(dir).entryList({QStringLiteral("export-*.json")}, QDir::Files, QDir::Name)) {
        QJsonParseError error{};
        records.push_back(QJsonDocument::fromJson(clienttest::readFile(QDir(dir).filePath(name)), &error).object());
        EXPECT_EQ(error.error, QJsonParseError::NoError) << name.toStdString();
    }
    return records;
}

std::vector<ArchiveBlock> readArchive(const QString &archiveDir)
{
    std::vector<ArchiveBlock> blocks;
    for (const std::vector<ArchiveBlock> &fragment : archivetest::blocksOf(archiveDir))
        blocks.insert(blocks.end(), fragment.begin(), fragment.end());
    return blocks;
}

void recordArchive(const QString &dir, const std::vector<Piece> &pieces, bool oneFragment)
{
    QString error;
    auto recorder = archive::Recorder::create(dir, &error);
    ASSERT_TRUE(recorder) << error.toStdString();
    for (const Piece &piece : pieces) {
        ASSERT_TRUE((oneFragment && &piece != &pieces.front()) || recorder->beginFragment(&error)) << error.toStdString();
        for (const ArchiveBlock &b : piece.blocks) {
            ASSERT_TRUE(recorder->append(uint8_t(b.stream), b.timeMs - piece.blocks.front().timeMs + piece.startMs,
                                         b.key, b.payload, &error)) << error.toStdString();
        }
    }
    ASSERT_TRUE(recorder->close(&error)) << error.toStdString();
}

std::vector<QByteArray> decodeVideo(const std::vector<ArchiveBlock> &blocks)
{
    uint32_t code = 0;
    std::vector<QByteArray> pictures;
    for (const ArchiveBlock &block : blocks) {
        if (block.stream != 0 || (!block.key && pictures.empty()))
            continue;
        code = code ? code : fourcc::of(block.payload);
        pictures.push_back(block.payload.mid(4));
    }
    return pictures.empty() ? pictures : decode(codecs::codecIdOf(code), nullptr, pictures);
}

QByteArray storedBytes(const ArchiveBlock &block)
{
    const QByteArray bytes = block.payload.mid(4);
    if (fourcc::of(block.payload) != fourcc::kAac || bytes.size() < 7)
        return bytes;
    return bytes.mid((bytes[1] & 1) ? 7 : 9);  // protection absent: a 7-byte ADTS header
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
    const Request r{subdir.isEmpty() ? dir.path() : dir.filePath(subdir), fromMs, toMs};
    EXPECT_TRUE(QDir().mkpath(r.dir));
    return r;
}

QString FakeExportTest::exportToEnd(const Request &r, int readyAfterKeyBlocks)
{
    components.setComponent(guids::kAVFormatManager, fakes::formatManager(readyAfterKeyBlocks));
    run.reports.clear();
    if (!run.begin(fakes::archiveSource(archive), &components, r))
        return QStringLiteral("no controller");
    const bool ended = run.waitForEnd(10000);
    run.finish();
    return (ended ? QString() : QStringLiteral("hung: ")) + run.reports.summary();
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
