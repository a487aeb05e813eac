#include "plugin/export/FileCloser.h"

#include "plugin/export/Events.h"
#include "plugin/export/Evidence.h"
#include "plugin/export/TemporaryFile.h"

#include <QCoreApplication>

struct FileCloser::Job {
    Closed closed;
    std::atomic<bool> done{false};
    std::thread thread;
};

namespace {

// The checksum, the record entry that names it, then the checksum file:
// whoever finds a file's .sha256, a later export or someone who kills this
// one, finds the file in the record too. The same steps, in the same order,
// on whichever thread makes the checksum.
void checksumAndRecord(FileCloser::Closed &closed, bool checksum)
{
    if (closed.name.isEmpty())
        return;
    if (checksum)
        closed.entry.sha256 = Evidence::checksumOf(closed.name);
    if (closed.record)
        closed.record->addFile(closed.entry);
    if (!closed.entry.sha256.isEmpty())
        Evidence::publishChecksum(closed.name, closed.entry.sha256);
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
    if (_job)
        _held.push_back(event);
    else
        QCoreApplication::postEvent(_receiver, event);
}

void FileCloser::close(Closed closed)
{
    drain();
    _job = std::make_unique<Job>();
    _job->closed = std::move(closed);
    Job &job = *_job;
    const bool checksum = !job.closed.name.isEmpty() && job.closed.complete && Evidence::checksumsEnabled();
    if (checksum && _background) {
        // Until the join, the job's file and record are the thread's alone:
        // the worker thread touches the record only after a drain.
        job.thread = std::thread([&job] {
            checksumAndRecord(job.closed, true);
            job.done.store(true, std::memory_order_release);
        });
    } else {
        checksumAndRecord(job.closed, checksum);
        job.done = true;
    }
    poll();
}

void FileCloser::poll()
{
    if (_job && _job->done.load(std::memory_order_acquire))
        release();
}

void FileCloser::drain()
{
    if (_job)
        release();
}

void FileCloser::release()
{
    std::unique_ptr<Job> job = std::move(_job);
    if (job->thread.joinable())
        job->thread.join();
    if (_receiver)
        QCoreApplication::postEvent(_receiver,
                                    new ControllerEvent(ControllerEvent::FileClosed, 0, -1.0, job->closed.lastMs));
    // The lock goes only now, with the file finished, named and checksummed.
    job->closed.file.reset();
    for (ControllerEvent *event : _held)
        QCoreApplication::postEvent(_receiver, event);
    _held.clear();
}
