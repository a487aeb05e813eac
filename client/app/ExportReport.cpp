#include "client/app/ExportReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace clientapp {

namespace {

constexpr int kBarWidth = 30;
const char kNameTimeFormat[] = "yyyy.MM.dd.hh.mm.ss";

// A standard output that was closed (`| head`) is no reason to stop the
// export: what cannot be printed is dropped.
void print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    std::clearerr(stdout);
}

QString megabytes(int64_t bytes) { return QStringLiteral("%1 MB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1); }

}  // namespace

QString readChecksum(const QString &path)
{
    QFile file(path + QStringLiteral(".sha256"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> words = file.readLine().simplified().split(' ');
    return QString::fromLatin1(words.value(0));
}

bool findExportedFile(const QString &dir, const QDateTime &from, const QDateTime &to, ExportedFile *file)
{
    const QString stem = from.toString(QLatin1String(kNameTimeFormat)) + QLatin1Char('-') +
                         to.toString(QLatin1String(kNameTimeFormat));
    const QFileInfoList candidates =
        QDir(dir).entryInfoList({stem + QStringLiteral(".mkv"), stem + QStringLiteral(" (*).mkv")}, QDir::Files,
                                QDir::Time);
    if (candidates.isEmpty())
        return false;
    const QFileInfo &newest = candidates.first();
    file->path = newest.absoluteFilePath();
    file->sizeBytes = newest.size();
    file->sha256 = readChecksum(file->path);
    return true;
}

ExportReport::ExportReport(bool terminal) : _terminal(terminal) {}

void ExportReport::clearBar()
{
    if (_terminal && _barShown)
        print(QStringLiteral("\r\x1b[K"));
    _barShown = false;
}

void ExportReport::drawBar()
{
    const int filled = int(_percent / 100.0 * kBarWidth + 0.5);
    const QString bar = QString(filled, QLatin1Char('#')) + QString(kBarWidth - filled, QLatin1Char('-'));
    print(QStringLiteral("\r\x1b[K[%1] %2 %  %3 file(s)  %4")
              .arg(bar)
              .arg(_percent, 5, 'f', 1)
              .arg(_files)
              .arg(megabytes(_bytes)));
    _barShown = true;
}

void ExportReport::progress(double percent, int files, int64_t bytes)
{
    _percent = qBound(0.0, percent, 100.0);
    _files = files;
    _bytes = bytes;
    if (_terminal) {
        drawBar();
        return;
    }
    // A line per tenth, and one whenever the count of files changes, so that
    // the last line counts a file listed after the export reached 100 %.
    const int decile = int(_percent / 10.0);
    if (decile == _lastDecile && files == _lastFiles)
        return;
    _lastDecile = decile;
    _lastFiles = files;
    print(QStringLiteral("progress %1 %, %2 file(s), %3\n").arg(_percent, 0, 'f', 1).arg(_files).arg(megabytes(_bytes)));
}

void ExportReport::file(const ExportedFile &file)
{
    QString text = QStringLiteral("file %1  %2").arg(QFileInfo(file.path).fileName(), megabytes(file.sizeBytes));
    if (!file.sha256.isEmpty())
        text += QStringLiteral("  sha256 %1").arg(file.sha256);
    if (!file.complete)
        text += QStringLiteral("  incomplete");
    line(text);
}

void ExportReport::line(const QString &text)
{
    const bool redraw = _barShown;
    clearBar();
    print(text + QLatin1Char('\n'));
    if (redraw)
        drawBar();
}

void ExportReport::finish()
{
    if (_terminal && _barShown)
        print(QStringLiteral("\n"));
    _barShown = false;
}

}  // namespace clientapp
