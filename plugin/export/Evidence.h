// What makes an exported file usable as evidence, beside its streams: the
// recording's absolute start (Matroska DateUTC) and period (title) in the
// segment information, chapters that map file time back to wall-clock time
// at every cut pause, and a SHA-256 checksum file beside the finished file.
//
// The first and last block times are known only when a file ends, but the
// segment information is written with the header. So the header carries
// placeholders of the final length, and patchHeader() writes them in place
// (and the element's CRC-32) after the muxer's trailer, before the file is
// hashed. None of this changes the streams, their time stamps or the names.
//
// Owned by its ChunkFile; worker thread only, but for the checksum functions
// (any thread).
#ifndef PLUGIN_EXPORT_EVIDENCE_H_
#define PLUGIN_EXPORT_EVIDENCE_H_

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

struct AVFormatContext;

class Evidence {
public:
    // Format of chapter names and of the title's two times (local time).
    static constexpr const char *kWallClockFormat = "yyyy-MM-dd hh:mm:ss.zzz";

    // Sets the placeholder metadata; before avformat_write_header.
    static void prepareHeader(AVFormatContext *context, int64_t expectedFirstMs);

    // A block that starts a new stretch of the file's timeline (the first
    // block, or the first after a cut pause) lands at `fileMs`.
    void markWallClock(int64_t fileMs, int64_t wallClockMs);

    // Hands the chapters to the muxer; before av_write_trailer.
    void addChapters(AVFormatContext *context, int64_t fileEndMs) const;

    // Writes the true DateUTC and title into the closed file at `path`.
    static bool patchHeader(const QString &path, int64_t firstMs, int64_t lastMs);

    // The SHA-256 of the finished file at `path` in hex; empty when it cannot
    // be read, or when its checksum file exists already (it is never
    // replaced).
    static QByteArray checksumOf(const QString &path);
    // Writes "<file>.sha256" with that checksum beside the file, as
    // `sha256sum -c` reads it, flushed to the disk; never replaces an
    // existing file (false with *taken set). Both touch nothing but the two
    // files: they run on any thread.
    static bool publishChecksum(const QString &path, const QByteArray &sha256, bool *taken = nullptr,
                                QString *error = nullptr);

    // The name a file left under a temporary name in `dir` is to take: one
    // that an export record there lists with the file's checksum, whose
    // checksum file holds that checksum and which no file has (the export
    // was killed after its record entry and before the name); empty when
    // none does. Reads the file only when there is such a name. `leftover`
    // itself when a record lists the file under its temporary name (one that
    // failed and could not be renamed): it is kept.
    static QString orphanNameOf(const QString &dir, const QString &leftover);

    // The checksum file that belongs to `path`.
    static QString checksumPath(const QString &path);

    // Whether checksums are written (VELT_EXPORT_CHECKSUM=0 turns them off,
    // for measuring their cost).
    static bool checksumsEnabled();

    struct Mark {
        int64_t fileMs;
        int64_t wallClockMs;
    };
    // The start of every stretch of the timeline, in file order.
    const std::vector<Mark> &marks() const { return _marks; }

private:
    std::vector<Mark> _marks;
};

#endif  // PLUGIN_EXPORT_EVIDENCE_H_
