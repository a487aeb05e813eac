#include "plugin/export/ExportRecord.h"

#include "plugin/entry/Factory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSysInfo>
#include <QTimeZone>
#include <QtDebug>
#include <cstdlib>
#include <limits>
#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kRecordVersion = 1;
constexpr char kNameFormat[] = "yyyy.MM.dd.hh.mm.ss";
// Names tried before giving up: "export-T.json", "export-T (2).json", ...
constexpr int kMaxNameAttempts = 1000;

// A time both ways: local wall clock (as the files are named) and UTC.
QJsonObject instant(int64_t ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return QJsonObject{
        {QStringLiteral("local"), local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs)},
        {QStringLiteral("utc"), local.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("ms"), double(ms)},
    };
}

// "+01:00": the local zone's offset from UTC at `ms`.
QString zoneOffset(int64_t ms)
{
    const int offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
    return QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 3600, std::abs(offset) % 3600 / 60);
}

// An open end ("up to the end of the archive") is written as null.
QJsonValue instantOrOpen(int64_t ms)
{
    return ms == std::numeric_limits<int64_t>::max() ? QJsonValue() : QJsonValue(instant(ms));
}

// The operating-system account the client runs under.
QString systemAccount()
{
    if (const passwd *entry = getpwuid(geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return QString::number(geteuid());
}

QString endingName(ExportRecord::Ending ending)
{
    switch (ending) {
    case ExportRecord::Ending::Running:
        return QStringLiteral("running");
    case ExportRecord::Ending::Finished:
        return QStringLiteral("finished");
    case ExportRecord::Ending::Stopped:
        return QStringLiteral("stopped");
    case ExportRecord::Ending::Error:
        break;
    }
    return QStringLiteral("error");
}

// In the order of ExportRecord::Began.
QString beganName(ExportRecord::Began began)
{
    static const char *const names[] = {"period start", "new recording",             "size limit",
                                        "codec change", "stream parameters changed", "time went back"};
    return QLatin1String(names[int(began)]);
}

}  // namespace

ExportRecord::ExportRecord(const QByteArray &sessionId, bool limitEnabled, int limitMb)
    : _sessionId(sessionId), _limitEnabled(limitEnabled), _limitMb(limitMb)
{
}

bool ExportRecord::create(const QString &dir, int64_t fromMs, int64_t toMs, const std::vector<Gap> &gaps)
{
    _startedAtMs = QDateTime::currentMSecsSinceEpoch();
    _fromMs = fromMs;
    _toMs = toMs;
    _gaps = gaps;
    const QString stem = QDir(dir).filePath(QStringLiteral("export-") +
                                            QDateTime::fromMSecsSinceEpoch(_startedAtMs).toString(QLatin1String(kNameFormat)));
    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const QString candidate =
            attempt == 1 ? stem + QStringLiteral(".json") : QStringLiteral("%1 (%2).json").arg(stem).arg(attempt);
        // Taken exclusively: another export's record is never touched.
        QFile file(candidate);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            file.close();
            _path = candidate;
            return save();
        }
        if (!file.exists())
            break;
    }
    qWarning() << "ExportRecord: cannot create a record in" << dir;
    return false;
}

void ExportRecord::addFile(const File &file)
{
    _files.push_back(file);
    save();
}

void ExportRecord::end(Ending ending, uint32_t code, const QString &text)
{
    if (ended())
        return;
    _ending = ending;
    _code = code;
    _text = text;
    _endedAtMs = QDateTime::currentMSecsSinceEpoch();
    save();
}

void ExportRecord::setSignature(const Signature &signature)
{
    _signature = signature;
    save();
}

bool ExportRecord::save()
{
    if (_path.isEmpty())
        return false;
    // A temporary file of its own, renamed over the record when complete.
    QSaveFile file(_path);
    const QByteArray json = toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        qWarning() << "ExportRecord: cannot write" << _path << file.errorString();
        return false;
    }
    _written = json;
    return true;
}

QByteArray ExportRecord::toJson() const
{
    QJsonArray gaps;
    for (const Gap &gap : _gaps)
        gaps.append(QJsonObject{{QStringLiteral("from"), instant(gap.fromMs)}, {QStringLiteral("to"), instant(gap.toMs)}});
    QJsonArray files;
    for (const File &file : _files) {
        QJsonArray pauses;
        for (const File::Pause &pause : file.pauses)
            pauses.append(QJsonObject{{QStringLiteral("fileMs"), double(pause.fileMs)},
                                      {QStringLiteral("recorded"), instant(pause.wallClockMs)}});
        QJsonObject entry{
            {QStringLiteral("name"), file.name},
            {QStringLiteral("firstBlock"), instant(file.firstMs)},
            {QStringLiteral("lastBlock"), instant(file.lastMs)},
            {QStringLiteral("sizeBytes"), double(file.sizeBytes)},
            {QStringLiteral("sha256"), file.sha256.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(file.sha256))},
            {QStringLiteral("pauses"), pauses},
            {QStringLiteral("began"), beganName(file.began)},
        };
        if (file.videoContinues) {
            entry.insert(QStringLiteral("continuesPreviousFile"), true);
            entry.insert(QStringLiteral("firstKeyFrame"),
                         file.firstKeyFrameMs == -1 ? QJsonValue() : QJsonValue(instant(file.firstKeyFrameMs)));
        }
        files.append(entry);
    }
    QJsonObject ending{{QStringLiteral("how"), endingName(_ending)}};
    if (_ending != Ending::Running)
        ending.insert(QStringLiteral("at"), instant(_endedAtMs));
    if (_ending == Ending::Error) {
        ending.insert(QStringLiteral("code"), double(_code));
        ending.insert(QStringLiteral("text"), _text);
    }
    // Said before the signature is made: it covers these very bytes.
    const QJsonObject signature =
        _signature.signer.isEmpty()
            ? QJsonObject{{QStringLiteral("signed"), false}, {QStringLiteral("why"), _signature.unsignedWhy}}
            : QJsonObject{{QStringLiteral("signed"), true},
                          {QStringLiteral("file"), QFileInfo(_path).fileName() + QLatin1String(kSignatureSuffix)},
                          {QStringLiteral("signer"), _signature.signer},
                          {QStringLiteral("certificateSha256"), QString::fromLatin1(_signature.certificateSha256)}};
    QJsonObject covered;
    if (!_files.empty()) {
        covered.insert(QStringLiteral("firstBlock"), instant(_files.front().firstMs));
        covered.insert(QStringLiteral("lastBlock"), instant(_files.back().lastMs));
    }
    const QJsonObject record{
        {QStringLiteral("record"), kRecordVersion},
        {QStringLiteral("plugin"),
         QJsonObject{{QStringLiteral("name"), QLatin1String(kPluginName)},
                     {QStringLiteral("interfaceVersion"), kPluginInterfaceVersion}}},
        {QStringLiteral("host"), QSysInfo::machineHostName()},
        {QStringLiteral("account"), systemAccount()},
        {QStringLiteral("process"), double(QCoreApplication::applicationPid())},
        {QStringLiteral("session"), _sessionId.isEmpty() ? QJsonValue() : QJsonValue(QString::fromLatin1(_sessionId))},
        // The files' titles and chapters are local time: their bytes depend
        // on the zone, which an export that reproduces them must use.
        {QStringLiteral("zone"),
         QJsonObject{{QStringLiteral("name"), QString::fromLatin1(QTimeZone::systemTimeZoneId())},
                     {QStringLiteral("offset"), zoneOffset(_startedAtMs)}}},
        {QStringLiteral("started"), instant(_startedAtMs)},
        {QStringLiteral("requested"),
         QJsonObject{{QStringLiteral("from"), instant(_fromMs)}, {QStringLiteral("to"), instantOrOpen(_toMs)}}},
        {QStringLiteral("covered"), covered},
        {QStringLiteral("sizeLimitMb"), _limitEnabled && _limitMb > 0 ? QJsonValue(_limitMb) : QJsonValue()},
        {QStringLiteral("gaps"), gaps},
        {QStringLiteral("files"), files},
        {QStringLiteral("ended"), ending},
        {QStringLiteral("signature"), signature},
    };
    return QJsonDocument(record).toJson(QJsonDocument::Indented);
}
