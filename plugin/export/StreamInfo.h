// StreamInfo: the stream description of one output file, gathered from the
// file's first key blocks through the client's codec informers.
//
// The read pump makes one per file, offers it blocks with gather() until
// isReady(), then opens the file with it; the chunk writer calls fillStreams
// once and fillPacket for every block. Owned by the Controller, destroyed
// together with the file's ChunkFile. Worker thread only.
#ifndef PLUGIN_EXPORT_STREAMINFO_H_
#define PLUGIN_EXPORT_STREAMINFO_H_

#include "plugin/export/BlockHeader.h"
#include "plugin/host/Codecs.h"
#include "plugin/host/Component.h"

#include <QByteArray>
#include <cstdint>

struct AVFormatContext;
struct AVPacket;

class StreamInfo {
public:
    // At most this many blocks are looked at before the description is
    // declared ready, whatever the informers know.
    static constexpr uint32_t kMaxGatherBlocks = 150;

    // Looks up the format manager through `manager` (not owned).
    explicit StreamInfo(IComponentManager *manager);
    ~StreamInfo();
    StreamInfo(const StreamInfo &) = delete;
    StreamInfo &operator=(const StreamInfo &) = delete;

    void gather(const BlockHeader &header, const QByteArray &data);
    // Offers a video key block written into the file before, ahead of this
    // file's first block: the video is described even when this file's first
    // key frame is further off than the blocks looked at. Not counted, and
    // not this file's first block.
    void seedVideo(const QByteArray &keyBlock);
    bool isReady() const { return ready; }
    // Ends gathering before the informers said they know enough (the
    // period ended): the file is described by the informers that are ready.
    void endGathering() { ready = true; }
    // At least one informer exists and is ready.
    bool hasReadyInformer();
    // The file opened with this description has a video stream.
    bool describesVideo() const { return bool(video); }
    // Time of the first block offered to gather(), -1 before it.
    int64_t firstBlockTimeMs() const { return _firstBlockTimeMs; }

    bool fillStreams(AVFormatContext *context);
    bool fillPacket(const BlockHeader &header, const QByteArray &data, AVPacket *packet, bool *startNewFile);

private:
    // Finds the slot's informer on first use and offers it a key block.
    bool findAndFeed(ComponentRef<IAVInformer_LibavExport> &slot, uint32_t code, const QByteArray &data);

    ComponentRef<IAVFormatManager> formatManager;
    ComponentRef<IAVInformer_LibavExport> audio;
    ComponentRef<IAVInformer_LibavExport> video;
    uint32_t blocksSeen;
    bool ready;
    int64_t _firstBlockTimeMs = -1;
};

#endif  // PLUGIN_EXPORT_STREAMINFO_H_
