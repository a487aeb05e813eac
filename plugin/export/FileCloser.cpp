#include "plugin/export/FileCloser.h"

#include "plugin/export/Events.h"
#include "plugin/export/Evidence.h"
#include "plugin/export/TemporaryFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtDebug>
#include <csignal>

struct FileCloser::Job {
    Closed closed;
    // Results, written by the job's thread before `done`.
    QString name;     // the file's name now
    QString failure;  // why it is not a finished file; empty when it is
    std::atomic<bool> done{false};
    bool started = false;  // worker thread only
    std::thread thread;
};

namespace {

const QString kFinishedSuffix = QStringLiteral(".mkv");
const QString kIncompleteSuffix = QStringLiteral(".incomplete.mkv");

// For tests of a kill at each step of finishing a file: VELT_EXPORT_KILL_AT
// names the step after which the process kills itself.
void stepDone(const char *step)
{
    static const QByteArray killAt = qgetenv("VELT_EXPORT_KILL_AT");
    if (!killAt.isEmpty() && killAt == step)
        std::raise(SIGKILL);
}

// The name a file is to have, without ".mkv".
QString stemOf(const FileCloser::Closed &closed)
{
    return closed.wanted.chopped(kFinishedSuffix.size());
}

// A file that is not a finished one keeps its data under a name that says
// so; one of no bytes goes. The failure stays the job's.
void keepIncomplete(FileCloser::Closed &closed, bool entered, QString *name)
{
    TemporaryFile &file = *closed.file;
    closed.entry.complete = false;
    closed.entry.sha256.clear();
    closed.entry.sizeBytes = std::max<int64_t>(0, file.size());
    if (closed.entry.sizeBytes == 0) {
        file.discard();
        name->clear();
        return;
    }
    // Where no such name fits (a path at the system's limit), one no longer
    // than the temporary name does. Should that fail too, the file stays
    // under its temporary name, which the record lists, and the next export
    // leaves it alone (Evidence::orphanNameOf).
    if (!file.publishAsNumbered(stemOf(closed), kIncompleteSuffix))
        file.publishAsNumbered(QFileInfo(closed.wanted).dir().filePath(file.uniquePart()), kIncompleteSuffix);
    *name = file.name();
    closed.entry.name = QFileInfo(*name).fileName();
    if (closed.record && entered)
        closed.record->replaceLastFile(closed.entry);
    else if (closed.record)
        closed.record->addFile(closed.entry);
}

// The steps of the header comment, 1 to 3, for a complete file; false (and
// *failure) when the file cannot be finished so.
bool publishComplete(FileCloser::Closed &closed, bool checksum, QString *name, QString *failure, bool *entered)
{
    TemporaryFile &file = *closed.file;
    if (!file.sync()) {
        *failure = file.error();
        return false;
    }
    closed.entry.sizeBytes = file.size();
    if (checksum) {
        closed.entry.sha256 = Evidence::checksumOf(file.name());
        if (closed.entry.sha256.isEmpty()) {
            *failure = QStringLiteral("cannot read back %1").arg(file.name());
            return false;
        }
    }
    stepDone("checksum");
    const QString stem = stemOf(closed);
    for (int number = 1; number <= TemporaryFile::kMaxNumberedNames; ++number) {
        const QString candidate = TemporaryFile::numberedName(stem, number, kFinishedSuffix);
        if (QFileInfo::exists(candidate) || QFileInfo::exists(Evidence::checksumPath(candidate)))
            continue;
        bool taken = false;
        if (checksum && !Evidence::publishChecksum(candidate, closed.entry.sha256, &taken, failure)) {
            if (taken)
                continue;
            return false;
        }
        stepDone("checksum-file");
        closed.entry.name = QFileInfo(candidate).fileName();
        const bool recorded = !closed.record || closed.record->addFile(closed.entry);
        if (recorded) {
            *entered = closed.record != nullptr;
            stepDone("record");
            if (file.publishAs(candidate, &taken)) {
                stepDone("name");
                *name = candidate;
                return true;
            }
        }
        // What this file published under that name is taken back.
        if (checksum)
            QFile::remove(Evidence::checksumPath(candidate));
        if (!recorded) {
            *failure = closed.record->error();
            closed.entry.name.clear();
            return false;
        }
        if (!taken) {
            *failure = file.error();
            return false;
        }
    }
    *failure = TemporaryFile::allNumberedNamesTaken(stem, kFinishedSuffix);
    return false;
}

// Everything a closed file needs, on whichever thread finishes it.
void finish(FileCloser::Closed &closed, QString *name, QString *failure)
{
    const bool checksum = Evidence::checksumsEnabled();
    bool entered = false;
    if (closed.complete && closed.file->size() > 0 && publishComplete(closed, checksum, name, failure, &entered))
        return;
    if (failure->isEmpty())
        *failure = closed.complete ? QStringLiteral("nothing could be written to %1").arg(closed.wanted)
                                   : closed.failure;
    const QString temporary = closed.file->name();
    keepIncomplete(closed, entered, name);
    // The failure names the file as it is called from now on, or, when
    // nothing of it is left, its folder.
    failure->replace(temporary, name->isEmpty() ? QFileInfo(temporary).path() : *name);
}

}  // namespace

FileCloser::FileCloser(QObject *receiver, bool background) : _receiver(receiver), _background(background) {}

FileCloser::~FileCloser()
{
    drain();
}

void FileCloser::post(ControllerEvent *event)
{
    if (!_receiver) {
        delete event;
        return;
    }
    if (_pending.empty())
        QCoreApplication::postEvent(_receiver, event);
    else
        _pending.push_back(Item{nullptr, event});
}

void FileCloser::close(Closed closed)
{
    auto job = std::make_unique<Job>();
    job->closed = std::move(closed);
    _pending.push_back(Item{std::move(job), nullptr});
    if (_background)
        advance(false);
    else
        drain();
}

void FileCloser::start(Job &job)
{
    job.started = true;
    const auto work = [&job] {
        finish(job.closed, &job.name, &job.failure);
        job.done.store(true, std::memory_order_release);
    };
    if (_background)
        job.thread = std::thread(work);
    else
        work();
}

void FileCloser::poll()
{
    advance(false);
}

void FileCloser::drain()
{
    advance(true);
}

void FileCloser::advance(bool wait)
{
    while (!_pending.empty()) {
        Item &item = _pending.front();
        if (item.event) {
            QCoreApplication::postEvent(_receiver, item.event);
        } else {
            Job &job = *item.job;
            if (!job.started)
                start(job);
            if (!wait && !job.done.load(std::memory_order_acquire))
                return;
            release(job);
        }
        _pending.pop_front();
    }
}

void FileCloser::release(Job &job)
{
    if (job.thread.joinable())
        job.thread.join();
    const FileCloser::Closed &closed = job.closed;
    if (!job.failure.isEmpty()) {
        qWarning() << "FileCloser:" << job.failure;
        if (_failure.isEmpty())
            _failure = job.failure;
    }
    if (_receiver) {
        auto *event = new ControllerEvent(ControllerEvent::FileClosed, 0, -1.0, closed.lastMs);
        event->details.fileName = QFileInfo(job.name).fileName();
        event->details.complete = job.failure.isEmpty();
        event->details.sizeBytes = closed.entry.sizeBytes;
        event->details.sha256 = closed.entry.sha256;
        event->details.firstMs = closed.entry.firstMs;
        QCoreApplication::postEvent(_receiver, event);
    }
    // The lock goes only now, with the file finished.
    job.closed.file.reset();
}
