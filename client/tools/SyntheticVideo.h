// The synthetic camera's video for one fragment: TestPicture pictures
// encoded as H.264 or HEVC (no B-frames, parameter sets in-band before every
// key frame, Annex B) or as MJPEG. Picture i is stamped start + i*1000/fps ms
// (rounded); the first is a key frame, then every gopFrames pictures.
//
// One thread; owns its encoder.
#ifndef CLIENT_TOOLS_SYNTHETICVIDEO_H_
#define CLIENT_TOOLS_SYNTHETICVIDEO_H_

#include "client/tools/SyntheticTrack.h"
#include "client/tools/TestPicture.h"

#include <memory>

namespace tools {

class SyntheticVideo : public SyntheticTrack {
public:
    enum class Codec { H264, Hevc, Mjpeg };
    struct Settings {
        Codec codec;
        int width;
        int height;
        AVRational fps;  // pictures per second, e.g. 25/2
        int gopFrames;
    };

    static std::unique_ptr<SyntheticVideo> open(const Settings &settings, int64_t startMs, int64_t durationMs,
                                                QString *error);

    uint8_t streamNumber() const override;
    int64_t nextInputTimeMs() const override;
    bool step(std::vector<Block> *blocks, QString *error) override;

private:
    SyntheticVideo(const Settings &settings, int64_t startMs, int64_t durationMs);
    int64_t pictureTimeMs(int64_t picture) const;

    bool toBlocks(const std::vector<media::PacketHolder> &packets, std::vector<Block> *blocks,
                  QString *error) override;

    Settings _settings;
    int64_t _startMs;
    int64_t _pictureCount;
    int64_t _nextPicture = 0;
    uint32_t _fourcc;
    TestPicture _picture;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_SYNTHETICVIDEO_H_
