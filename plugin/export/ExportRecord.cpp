#include "plugin/export/ExportRecord.h"

#include "plugin/entry/Factory.h"
#include "plugin/export/TemporaryFile.h"
#include "plugin/export/TimeTrack.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTimeZone>
#include <QtDebug>
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <pwd.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kRecordVersion = 1;
constexpr char kNameFormat[] = "yyyy.MM.dd.hh.mm.ss";
// The room kept for the record's rewrites: far more than a record of a
// thousand files takes.
constexpr qsizetype kReserveBytes = 1 << 20;

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

// An open end ("up to the end of the archive") is written as null.
QJsonValue instantOrOpen(int64_t ms)
{
    return ms == std::numeric_limits<int64_t>::max() ? QJsonValue() : QJsonValue(instant(ms));
}

// The operating-system account the client runs under. getpwuid_r: two
// exports may write their records at once, and getpwuid's result is shared.
QString systemAccount()
{
    passwd entry {};
    passwd *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
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

ExportRecord::ExportRecord(const QByteArray &sessionId, bool limitEnabled, int limitMb, bool timeTrack)
    : _sessionId(sessionId), _limitEnabled(limitEnabled), _limitMb(limitMb), _timeTrack(timeTrack)
{
}

ExportRecord::~ExportRecord()
{
    giveUpReserve();
}

bool ExportRecord::create(const QString &dir, int64_t fromMs, int64_t toMs, const std::vector<Gap> &notRecorded,
                          const std::vector<Gap> &recordings, bool checksums)
{
    _startedAtMs = QDateTime::currentMSecsSinceEpoch();
    _fromMs = fromMs;
    _toMs = toMs;
    _notRecorded = notRecorded;
    _recordings = recordings;
    _checksums = checksums;
    // Written whole under a temporary name, then given the record's name
    // without replacing anything: a record exists only complete, and
    // another export's record is never touched.
    std::unique_ptr<TemporaryFile> file = TemporaryFile::create(dir, TemporaryFile::kRecordSuffix, &_error);
    if (!file)
        return false;
    const QString stem = QDir(dir).filePath(QStringLiteral("export-") +
                                            QDateTime::fromMSecsSinceEpoch(_startedAtMs).toString(QLatin1String(kNameFormat)));
    const QByteArray json = toJson();
    if (!file->write(json) || !file->sync()) {
        file->discard();
        return fail(QString(file->error()).replace(file->name(), stem + QStringLiteral(".json")));
    }
    // "export-T.json", "export-T (2).json", ...
    if (!file->publishAsNumbered(stem, QStringLiteral(".json"))) {
        file->discard();
        return fail(file->error());
    }
    _path = file->name();
    // Without the room the record still works, as long as the disk does.
    _reserve = TemporaryFile::create(dir, TemporaryFile::kRecordSuffix);
    if (_reserve && !_reserve->write(QByteArray(kReserveBytes, '\0')))
        giveUpReserve();
    return true;
}

bool ExportRecord::fail(const QString &error)
{
    _error = error;
    qWarning() << "ExportRecord:" << error;
    return false;
}

bool ExportRecord::addFile(const File &file)
{
    _files.push_back(file);
    if (save())
        return true;
    _files.pop_back();
    return false;
}

bool ExportRecord::replaceLastFile(const File &file)
{
    if (_files.empty())
        return addFile(file);
    const File before = std::exchange(_files.back(), file);
    if (save())
        return true;
    _files.back() = before;
    return false;
}

bool ExportRecord::end(Ending ending, uint32_t code, const QString &text)
{
    if (ended())
        return true;
    _ending = ending;
    _code = code;
    _text = text;
    _endedAtMs = QDateTime::currentMSecsSinceEpoch();
    const bool saved = save();
    giveUpReserve();
    return saved;
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
    if (write())
        return true;
    if (!_reserve)
        return false;
    // The disk may have filled up: the room kept for the record is given up.
    giveUpReserve();
    return write();
}

void ExportRecord::giveUpReserve()
{
    if (_reserve)
        _reserve->discard();
    _reserve.reset();
}

bool ExportRecord::write()
{
    // A buffered writer reports a full disk only when it is closed, after
    // it has replaced the record: the new text is written, flushed to the
    // disk and checked first, and only then takes the record's name.
    std::unique_ptr<TemporaryFile> file =
        TemporaryFile::create(QFileInfo(_path).path(), TemporaryFile::kRecordSuffix, &_error);
    if (!file)
        return fail(_error);
    const QByteArray json = toJson();
    if (!file->write(json) || !file->sync() || !file->replace(_path)) {
        file->discard();
        return fail(file->error());
    }
    _written = json;
    return true;
}

std::vector<ExportRecord::Gap> ExportRecord::gaps() const
{
    // Recorded stretches that no file holds, up to where the export got.
    // Shorter ones are no loss: a block lasts until the next, and the
    // period's end falls between two blocks.
    constexpr int64_t kLeastUnreadMs = 1000;
    // What an export that failed or was stopped did not get to is not
    // counted: only a finished one went through the whole period.
    int64_t doneUpToMs = _files.empty() ? std::numeric_limits<int64_t>::min() : _files.back().lastMs + 1;
    if (_ending == Ending::Finished)
        doneUpToMs = std::numeric_limits<int64_t>::max();
    std::vector<File::Span> held;
    for (const File &file : _files) {
        if (file.spans.empty())
            held.push_back(File::Span{file.firstMs, file.lastMs + 1});
        held.insert(held.end(), file.spans.begin(), file.spans.end());
    }
    std::sort(held.begin(), held.end(), [](const File::Span &a, const File::Span &b) { return a.fromMs < b.fromMs; });
    std::vector<Gap> gaps = _notRecorded;
    for (const Gap &recording : _recordings) {
        int64_t fromMs = recording.fromMs;
        const int64_t toMs = std::min(recording.toMs, doneUpToMs);
        if (toMs <= fromMs)
            continue;
        for (const File::Span &span : held) {
            if (fromMs >= toMs)
                break;
            if (span.toMs <= fromMs || span.fromMs >= toMs)
                continue;
            if (span.fromMs - fromMs >= kLeastUnreadMs)
                gaps.push_back(Gap{fromMs, span.fromMs, true});
            fromMs = std::max(fromMs, span.toMs);
        }
        if (fromMs < toMs && toMs - fromMs >= kLeastUnreadMs)
            gaps.push_back(Gap{fromMs, toMs, true});
    }
    std::sort(gaps.begin(), gaps.end(), [](const Gap &a, const Gap &b) { return a.fromMs < b.fromMs; });
    return gaps;
}

int64_t ExportRecord::unreadMs() const
{
    int64_t unread = 0;
    for (const Gap &gap : gaps())
        unread += gap.recorded ? gap.toMs - gap.fromMs : 0;
    return unread;
}

QByteArray ExportRecord::toJson() const
{
    QJsonArray gaps;
    for (const Gap &gap : this->gaps())
        gaps.append(QJsonObject{{QStringLiteral("from"), instant(gap.fromMs)},
                                {QStringLiteral("to"), instant(gap.toMs)},
                                {QStringLiteral("what"), gap.recorded ? QStringLiteral("recorded but could not be read")
                                                                      : QStringLiteral("not recorded")}});
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
            {QStringLiteral("complete"), file.complete},
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
    if (_ending != Ending::Running)
        ending.insert(QStringLiteral("unreadMs"), double(unreadMs()));
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
                     {QStringLiteral("offset"), TimeTrack::offsetText(QDateTime::fromMSecsSinceEpoch(_startedAtMs).offsetFromUtc())}}},
        {QStringLiteral("started"), instant(_startedAtMs)},
        {QStringLiteral("requested"),
         QJsonObject{{QStringLiteral("from"), instant(_fromMs)}, {QStringLiteral("to"), instantOrOpen(_toMs)}}},
        {QStringLiteral("covered"), covered},
        // As the operator set it: the switch, and the value it applies.
        {QStringLiteral("sizeLimit"),
         QJsonObject{{QStringLiteral("enabled"), _limitEnabled}, {QStringLiteral("mb"), _limitMb}}},
        {QStringLiteral("timeTrack"), _timeTrack},
        {QStringLiteral("checksums"), _checksums},
        {QStringLiteral("gaps"), gaps},
        {QStringLiteral("files"), files},
        {QStringLiteral("ended"), ending},
        {QStringLiteral("signature"), signature},
    };
    return QJsonDocument(record).toJson(QJsonDocument::Indented);
}
