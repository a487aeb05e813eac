#include "plugin/export/StreamInfo.h"

#include "plugin/host/Guids.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <QtDebug>

namespace {

uint32_t littleEndianCode(const QByteArray &data)
{
    const auto *p = reinterpret_cast<const uint8_t *>(data.constData());
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

StreamInfo::StreamInfo(IComponentManager *manager)
    : formatManager(manager ? ComponentRef<IAVFormatManager>(manager->getComponent(guids::kAVFormatManager))
                            : ComponentRef<IAVFormatManager>()),
      blocksSeen(0),
      ready(false)
{
}

StreamInfo::~StreamInfo()
{
    video.reset();
    audio.reset();
    formatManager.reset();
}

void StreamInfo::gather(const BlockHeader &header, const QByteArray &data)
{
    if (ready)
        return;
    if (_firstBlockTimeMs == -1)
        _firstBlockTimeMs = header.time;
    if (++blocksSeen > kMaxGatherBlocks) {
        ready = true;
        return;
    }
    if (!header.isKey() || data.size() < 4)
        return;
    const uint32_t code = littleEndianCode(data);
    if (header.streamNumber == kVideoStream)
        findAndFeed(video, code, data);
    else if (header.streamNumber == kAudioStream)
        findAndFeed(audio, code, data);
    if (audio && audio->isReady() && video && video->isReady())
        ready = true;
}

void StreamInfo::seedVideo(const QByteArray &keyBlock)
{
    if (!ready && keyBlock.size() >= 4)
        findAndFeed(video, littleEndianCode(keyBlock), keyBlock);
}

bool StreamInfo::findAndFeed(ComponentRef<IAVInformer_LibavExport> &slot, uint32_t code, const QByteArray &data)
{
    if (!slot) {
        if (formatManager) {
            const ComponentRef<IAVInformer> informer = formatManager->createInformer(code, data);
            slot = ComponentRef<IAVInformer_LibavExport>(informer);
        }
        if (!slot) {
            qWarning("informer for this coded wasn't found");
            ready = true;
            return false;
        }
    }
    if (slot->isReady())
        return true;
    if (slot->addBlock(data, true))
        return true;
    qWarning("informer said that this block is invalid");
    ready = true;
    return false;
}

bool StreamInfo::hasReadyInformer()
{
    return (video && video->isReady()) || (audio && audio->isReady());
}

bool StreamInfo::fillStreams(AVFormatContext *context)
{
    if (audio && !audio->isReady()) {
        qWarning("audio informer is not ready");
        return false;
    }
    if (!video && !audio)
        return false;
    if (video) {
        if (!video->isReady()) {
            qWarning("video informer is not ready");
            return false;
        }
        if (!video->fillStream(context)) {
            qWarning("video informer couldn't fill AVStream structure");
            return false;
        }
    }
    if (audio && !audio->fillStream(context)) {
        qWarning("audio informer couldn't fill AVStream structure");
        return false;
    }
    return true;
}

bool StreamInfo::fillPacket(const BlockHeader &header, const QByteArray &data, AVPacket *packet, bool *startNewFile)
{
    packet->data = nullptr;
    *startNewFile = false;
    ComponentRef<IAVInformer_LibavExport> *slot = nullptr;
    if (header.streamNumber == kVideoStream)
        slot = &video;
    else if (header.streamNumber == kAudioStream)
        slot = &audio;
    else
        return true;
    if (!*slot || !(*slot)->isReady())
        return false;
    return (*slot)->fillPacket(data, header.isKey(), packet, startNewFile);
}
