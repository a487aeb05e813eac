// End-to-end harness for export tests: synthesizes archives with the
// velt-archive tool, runs an export on a worker thread exactly as the
// dialog does, and reads back what was written (the .mkv files through
// libavformat/libavcodec, the archive through its own components).
#ifndef TESTS_PLUGIN_EXPORT_ENDTOENDHARNESS_H_
#define TESTS_PLUGIN_EXPORT_ENDTOENDHARNESS_H_

#include "client/runtime/Components.h"
#include "plugin/export/Events.h"
#include "tests/plugin/export/ExportHarness.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace e2e {

using exporttest::kOpenEnd;

// Runs `velt-archive synth DIR args...`; fails the test on a non-zero exit.
void synth(const QString &dir, const QStringList &args);

// A local time "yyyy-MM-ddTHH:mm:ss" in ms since the epoch.
int64_t localMs(const QString &text);

using exporttest::Report;

struct ExportOptions {
    int64_t from = 0;
    int64_t to = kOpenEnd;
    bool limitEnabled = false;
    int limitMb = 0;
    // Set the stop flag after this many FileStarted reports (0: never).
    int stopAfterFiles = 0;
};

struct ExportResult {
    std::vector<Report> reports;
    QStringList files;  // *.mkv in the output folder, sorted
    bool created = true;  // Controller::create gave a controller
    int count(uint32_t kind) const;
};

// Exports the archive in `archiveDir` into `outDir` on a worker thread, as
// exporttest::ExportRun does, waits for the end and returns the reports in
// order.
ExportResult runExport(const QString &archiveDir, const QString &outDir, const ExportOptions &options);

struct ExportJob {
    QString archiveDir;
    QString outDir;
    ExportOptions options;
};

// Runs all `jobs` at the same time, each on a worker thread of its own with
// components of its own; the results in the same order. Each result's files
// are all the .mkv files in its output folder once every export has ended.
std::vector<ExportResult> runExportsAtOnce(const std::vector<ExportJob> &jobs);

struct Packet {
    int stream;  // 0 video, 1 audio (file order)
    int64_t ptsMs;
    bool key;
    QByteArray data;
};

struct FileContents {
    QString videoCodec;  // libavcodec names; empty when absent
    QString audioCodec;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    std::vector<Packet> packets;
    std::vector<QByteArray> videoFrames;  // MD5 of each decoded picture
    QString creationTime;                 // format metadata
    QString title;
    std::vector<std::pair<int64_t, QString>> chapters;  // start ms, title
};

FileContents readFile(const QString &path);
// Each of `paths` read once, in order.
std::vector<FileContents> readFiles(const QStringList &paths);
// The decoded pictures of all `files`, in order.
std::vector<QByteArray> framesOf(const std::vector<FileContents> &files);
// Exit status of `sha256sum -c` on the checksum file beside `path`.
int checksumStatus(const QString &path);

struct ArchiveBlock {
    int stream;  // 0 or 8
    int64_t timeMs;
    bool key;
    QByteArray payload;  // with its four-character code
};

// Every block of the archive in delivery order (markers left out).
std::vector<ArchiveBlock> readArchive(const QString &archiveDir);

// MD5 of each decoded video picture of `blocks` (codec from the first
// video block's code), from the first key frame on.
std::vector<QByteArray> decodeVideo(const std::vector<ArchiveBlock> &blocks);

// The encoded bytes of an audio block as a file stores them (no code, no
// ADTS header).
QByteArray rawAudio(const QByteArray &payload);

}  // namespace e2e

#endif  // TESTS_PLUGIN_EXPORT_ENDTOENDHARNESS_H_
