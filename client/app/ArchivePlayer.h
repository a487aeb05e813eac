// ArchivePlayer: plays one channel's recorded archive through the client's
// archive components, the way the client's own player reads it: the
// reader's block source feeds an encoded data queue made by the runtime,
// blocks are taken with readBlock and each video block is decoded when its
// recorded time is due on the player's clock. Gaps between fragments are
// skipped; the end of the archive pauses the player.
//
// GUI thread (a QTimer drives it and decoding happens there too). Holds
// references to the reader, its block source and the current queue; they
// are released by the destructor.
#ifndef CLIENT_APP_ARCHIVEPLAYER_H_
#define CLIENT_APP_ARCHIVEPLAYER_H_

#include "client/app/VideoDecoder.h"
#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QTimer>
#include <vector>

namespace clientapp {

class ArchivePlayer : public QObject {
    Q_OBJECT

public:
    explicit ArchivePlayer(const ComponentRef<IArchiveVideoSource> &source, QObject *parent = nullptr);
    // Members go in reverse order: the timer stops, then the queue, the
    // block source and the reader are released.
    ~ArchivePlayer() override = default;

    const std::vector<Fragment> &fragments() const { return _fragments; }
    int64_t positionMs() const;
    bool isPlaying() const { return _playing; }

public slots:
    void play();
    void pause();
    void togglePlay();
    // Shows the picture at `timeMs`; a time in a gap goes to the next
    // fragment's start.
    void seek(qint64 timeMs);

signals:
    void pictureChanged(const QImage &picture);
    void positionChanged(qint64 timeMs);
    void playingChanged(bool playing);

private:
    struct Block {
        QByteArray data;
        uint32_t streamNumber = 0;
        bool key = false;
        int64_t timeMs = 0;
    };

    void tick();
    // Starts reading at `timeMs` with a new queue.
    void feed(int64_t timeMs);
    bool readNext();
    // The clock shows `timeMs` from now on.
    void setClock(int64_t timeMs);
    int64_t clampToRecording(int64_t timeMs) const;

    ComponentRef<IArchiveReader> _reader;
    ComponentRef<IBlockSource> _blockSource;
    ComponentRef<IEncodedDataQueue> _queue;
    ReadCursor _cursor{0, 0, true};
    std::vector<Fragment> _fragments;
    VideoDecoder _decoder;

    QTimer _timer;
    QElapsedTimer _clock;   // runs while playing
    int64_t _clockBaseMs = 0;  // position when _clock was started
    bool _playing = false;
    bool _pending = false;  // _next holds a block not yet handled
    bool _atEnd = false;
    Block _next;
};

}  // namespace clientapp

#endif  // CLIENT_APP_ARCHIVEPLAYER_H_
