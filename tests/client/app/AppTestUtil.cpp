#include "tests/client/app/AppTestUtil.h"

#include "client/media/FFmpegHolders.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace apptest {

namespace {
constexpr int kProcessTimeoutMs = 60000;
}

bool synthesize(const QString &dir, const QStringList &options, QString *output)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(VELT_ARCHIVE_TOOL), QStringList{QStringLiteral("synth"), dir} + options);
    const bool finished = tool.waitForFinished(kProcessTimeoutMs);
    *output = QString::fromLocal8Bit(tool.readAll());
    return finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

QString sampleArchive()
{
    static QTemporaryDir root;  // removed at exit
    static QString made;
    if (!made.isEmpty())
        return made;
    const QString dir = root.filePath(QStringLiteral("archive"));
    QString output;
    if (!synthesize(dir,
                    {QStringLiteral("--start"), QLatin1String(kFirstStart), QStringLiteral("--fragments"),
                     QStringLiteral("3"), QStringLiteral("--seconds"), QStringLiteral("3"), QStringLiteral("--gap"),
                     QStringLiteral("2"), QStringLiteral("--size"), QStringLiteral("320x240"),
                     QStringLiteral("--video"), QStringLiteral("h264"), QStringLiteral("--audio"),
                     QStringLiteral("aac")},
                    &output)) {
        qWarning("velt-archive synth failed: %s", qPrintable(output));
        return QString();
    }
    made = dir;
    return made;
}

bool synthesizeHd(const QString &dir, int seconds, QString *output)
{
    return synthesize(dir,
                      {QStringLiteral("--start"), QLatin1String(kFirstStart), QStringLiteral("--seconds"),
                       QString::number(seconds), QStringLiteral("--size"), QStringLiteral("1280x720")},
                      output);
}

void startClient(QProcess *client, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    client->setProcessEnvironment(environment);
    client->start(QStringLiteral(VELT_CLIENT), arguments);
}

Run runClient(const QStringList &arguments)
{
    QProcess client;
    startClient(&client, arguments);
    Run run;
    if (!client.waitForFinished(kProcessTimeoutMs)) {
        client.kill();
        client.waitForFinished();
        run.err = QStringLiteral("velt-client did not finish");
        return run;
    }
    run.exitCode = client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
    run.out = QString::fromLocal8Bit(client.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(client.readAllStandardError());
    return run;
}

Probe probe(const QString &path)
{
    Probe result;
    AVFormatContext *opened = nullptr;
    if (avformat_open_input(&opened, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return result;
    media::FormatContextHolder file(opened);
    if (avformat_find_stream_info(file.get(), nullptr) < 0)
        return result;
    result.opened = true;
    for (unsigned i = 0; i < file->nb_streams; ++i)
        result.codecs.append(QString::fromLatin1(avcodec_get_name(file->streams[i]->codecpar->codec_id)));
    result.durationSeconds = double(file->duration) / AV_TIME_BASE;
    return result;
}

QStringList exportedFiles(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.mkv")}, QDir::Files, QDir::Name);
}

}  // namespace apptest
