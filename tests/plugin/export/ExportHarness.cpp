#include "tests/plugin/export/ExportHarness.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

namespace exporttest {

int ReportLog::count(uint32_t kind) const
{
    int n = 0;
    for (const Report &report : reports)
        n += report.kind == kind;
    return n;
}

QString ReportLog::summary(bool withProgress) const
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
        case ControllerEvent::Progress:
            if (withProgress)
                parts << QStringLiteral("progress");
            break;
        default:
            parts << QStringLiteral("kind%1").arg(report.kind);
        }
    }
    return parts.join(QLatin1Char(' '));
}

std::vector<int64_t> ReportLog::fileStarts() const
{
    std::vector<int64_t> starts;
    for (const Report &report : reports) {
        if (report.kind == ControllerEvent::FileStarted)
            starts.push_back(report.timeMs);
    }
    return starts;
}

void ReportLog::customEvent(QEvent *event)
{
    if (auto *report = dynamic_cast<ControllerEvent *>(event))
        reports.push_back(Report{report->kind, report->code, report->progress, report->time});
}

bool ExportRun::begin(const ComponentRef<IArchiveVideoSource> &source, IComponentManager *manager,
                      const ExportRequest &request, bool postStart)
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

bool ExportRun::ended() const
{
    return log.has(ControllerEvent::Finished) || log.has(ControllerEvent::Error);
}

void ExportRun::idle(int ms)
{
    QElapsedTimer idle;
    idle.start();
    waitFor([&] { return idle.elapsed() >= ms; });
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
    QCoreApplication::sendPostedEvents(&log);
}

QStringList mkvFiles(const QString &dir)
{
    return QDir(dir).entryList(QStringList{QStringLiteral("*.mkv")}, QDir::Files, QDir::Name);
}

std::vector<std::vector<int64_t>> packetTimes(const QString &path)
{
    std::vector<std::vector<int64_t>> times;
    AVFormatContext *context = nullptr;
    if (avformat_open_input(&context, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return times;
    if (avformat_find_stream_info(context, nullptr) >= 0) {
        times.resize(context->nb_streams);
        AVPacket *packet = av_packet_alloc();
        while (packet && av_read_frame(context, packet) >= 0) {
            const AVRational base = context->streams[packet->stream_index]->time_base;
            times[size_t(packet->stream_index)].push_back(av_rescale_q(packet->pts, base, AVRational{1, 1000}));
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&context);
    return times;
}

}  // namespace exporttest
