// ExportRecord: the JSON file an export leaves beside its files, saying what
// was exported, in which client session and under which account of which
// machine, which stretches of the period
// hold no recording, every file with its checksum, and how the export ended
// (docs/export-record.md describes the fields).
//
// The record is created complete, when the export starts, under a name of
// its own that no other export's record has ("export-<local start time>.json",
// with " (2)" and so on on a clash), and written again, whole, after every
// finished file and at the end. Every write goes to a temporary file that is
// written, flushed to the disk and checked before it takes the record's
// name: a write that fails leaves the previous record as it was, so the
// record is always valid JSON and never goes back to an older state. A file
// made beside it keeps room for its rewrites on a disk that fills up during
// the export: when a rewrite fails, that room is given up and the rewrite
// tried once more, so the record can still tell what happened.
//
// Owned by the Controller; used by one thread at a time: the worker thread,
// or the FileCloser's thread while it enters a finished file. The
// constructor runs where the Controller is made.
#ifndef PLUGIN_EXPORT_EXPORTRECORD_H_
#define PLUGIN_EXPORT_EXPORTRECORD_H_

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

class TemporaryFile;

class ExportRecord {
public:
    // Why a file began: the period's start, or what split it off the file
    // before.
    enum class Began { PeriodStart, NewRecording, SizeLimit, CodecChange, StreamParametersChanged, TimeWentBack };

    // One file of the export, as finished.
    struct File {
        QString name;  // in the target folder
        int64_t firstMs = 0;
        int64_t lastMs = 0;
        int64_t sizeBytes = 0;
        QByteArray sha256;  // hex; empty when no checksum was written
        // Written to its end and named as such; an incomplete file has a
        // name that says so and no checksum.
        bool complete = true;
        struct Pause {
            int64_t fileMs;       // where the file's timeline goes on
            int64_t wallClockMs;  // the recording's time there
        };
        std::vector<Pause> pauses;  // the chapters after the file's start
        // The stretches of recorded time its blocks hold, [from, to): a
        // file that runs across recordings does not hold what lies between.
        struct Span {
            int64_t fromMs;
            int64_t toMs;
        };
        std::vector<Span> spans;
        Began began = Began::PeriodStart;
        // The file's video begins with pictures that are not key frames: they
        // continue the file before (or a recording whose start is missing).
        bool videoContinues = false;
        int64_t firstKeyFrameMs = -1;  // of its video; -1 when it has none
    };
    // A stretch [fromMs, toMs) of the period that no exported file holds.
    struct Gap {
        int64_t fromMs;
        int64_t toMs;
        bool recorded = false;  // the archive's index has a recording there
    };
    enum class Ending { Running, Finished, Stopped, Error };
    // Who signs the record when it ends (RecordSigner), or why nobody does.
    struct Signature {
        QString signer;                // the certificate's subject; empty: unsigned
        QByteArray certificateSha256;  // hex, of the certificate's DER bytes
        QString unsignedWhy;           // unsigned: why
    };
    // The signature's file beside the record: "<record>.p7s".
    static constexpr const char *kSignatureSuffix = ".p7s";

    // `sessionId`: the client's session, hex; empty when not known.
    // `timeTrack`: the files carry the recording's time as subtitles.
    ExportRecord(const QByteArray &sessionId, bool limitEnabled, int limitMb, bool timeTrack);
    ~ExportRecord();
    ExportRecord(const ExportRecord &) = delete;
    ExportRecord &operator=(const ExportRecord &) = delete;

    // Creates the record in `dir` for an export of the period asked for,
    // [fromMs, toMs] (toMs the largest value: to the end of the archive),
    // that starts now. `notRecorded` are the stretches of it without
    // recording (gapsOf), `recordings` those the archive's index holds,
    // [from, to), in order. False when no record can be made there (error()
    // says why).
    bool create(const QString &dir, int64_t fromMs, int64_t toMs, const std::vector<Gap> &notRecorded,
                const std::vector<Gap> &recordings, bool checksums);
    // Each false when the record could not be written (error() says why);
    // the previous record then stays.
    bool addFile(const File &file);
    // Replaces the last file added.
    bool replaceLastFile(const File &file);
    // Ends the record; the first ending given counts.
    bool end(Ending ending, uint32_t code = 0, const QString &text = QString());
    bool ended() const { return _ending != Ending::Running; }
    const QString &path() const { return _path; }
    // Set before create(); a record already written is rewritten.
    void setSignature(const Signature &signature);
    // The bytes of the record as last written; empty before.
    const QByteArray &written() const { return _written; }
    const QString &error() const { return _error; }

    // The gaps of the period: the stretches without recording, and, up to
    // the last file (to the period's end once finished), the recorded ones
    // that no file holds.
    std::vector<Gap> gaps() const;
    // Recorded time (ms) that no file holds.
    int64_t unreadMs() const;

    // The stretches of [fromMs, toMs] that no fragment covers, each as
    // [from, to).
    template <typename Fragments>
    static std::vector<Gap> gapsOf(const Fragments &fragments, int64_t fromMs, int64_t toMs);

private:
    // Writes the record, giving up the room kept for it when a first
    // attempt fails.
    bool save();
    bool write();
    void giveUpReserve();
    QByteArray toJson() const;
    bool fail(const QString &error);

    const QByteArray _sessionId;
    const bool _limitEnabled;
    const int _limitMb;
    const bool _timeTrack;
    QString _path;  // empty while no record exists
    int64_t _startedAtMs = 0;
    int64_t _fromMs = 0;
    int64_t _toMs = 0;
    std::vector<Gap> _notRecorded;
    std::vector<Gap> _recordings;
    bool _checksums = true;
    std::vector<File> _files;
    Ending _ending = Ending::Running;
    uint32_t _code = 0;
    QString _text;
    int64_t _endedAtMs = 0;
    Signature _signature;
    QByteArray _written;
    QString _error;
    std::unique_ptr<TemporaryFile> _reserve;  // room kept for rewrites; null once given up
};

template <typename Fragments>
std::vector<ExportRecord::Gap> ExportRecord::gapsOf(const Fragments &fragments, int64_t fromMs, int64_t toMs)
{
    std::vector<Gap> gaps;
    int64_t coveredUpToMs = fromMs;  // everything before this is accounted for
    for (const auto &fragment : fragments) {
        if (fragment.end <= coveredUpToMs)
            continue;
        if (fragment.start > toMs)
            break;
        if (fragment.start > coveredUpToMs)
            gaps.push_back(Gap{coveredUpToMs, fragment.start, false});
        coveredUpToMs = fragment.end;
    }
    if (coveredUpToMs <= toMs)
        gaps.push_back(Gap{coveredUpToMs, toMs + 1, false});
    return gaps;
}

#endif  // PLUGIN_EXPORT_EXPORTRECORD_H_
