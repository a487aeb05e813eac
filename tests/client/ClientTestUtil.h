// What the stand-in client's tests share: running one of its programs
// (velt-archive, velt-client, ffmpeg) to its end, and whole files.
#ifndef TESTS_CLIENT_CLIENTTESTUTIL_H_
#define TESTS_CLIENT_CLIENTTESTUTIL_H_

#include <QFile>
#include <QProcess>
#include <QStringList>

namespace clienttest {

struct ProcessRun {
    int exitCode = -1;  // -1: it did not start, crashed or hung
    QString out;
    QString err;
};

inline ProcessRun runProcess(const QString &program, const QStringList &arguments, const QString &workDir = QString())
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    ProcessRun run;
    if (!process.waitForStarted())
        return run;
    if (!process.waitForFinished(120000))
        process.kill();
    process.waitForFinished();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.exists() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

}  // namespace clienttest

#endif  // TESTS_CLIENT_CLIENTTESTUTIL_H_
