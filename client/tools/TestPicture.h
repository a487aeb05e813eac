// The synthetic camera's moving picture, drawn straight into the planes of a
// YUV 4:2:0 frame: a diagonal luma ramp that slides with the picture number,
// a bright bar that sweeps across, chroma that drifts, and the recording
// time of day (HH:MM:SS.mmm, local) as seven-segment digits. Every picture
// differs from the one before, and drawing costs about one copy per row.
//
// One thread; holds only its precomputed ramp.
#ifndef CLIENT_TOOLS_TESTPICTURE_H_
#define CLIENT_TOOLS_TESTPICTURE_H_

#include <QByteArray>
#include <cstdint>

struct AVFrame;

namespace tools {

class TestPicture {
public:
    TestPicture(int width, int height);

    // Draws picture `index` recorded at `timeMs` into `frame` (a writable
    // 4:2:0 frame of this picture's size).
    void draw(AVFrame *frame, int64_t index, int64_t timeMs) const;

private:
    void drawClock(AVFrame *frame, int64_t timeMs) const;
    void fillLuma(AVFrame *frame, int x, int y, int width, int height, uint8_t value) const;

    int _width;
    int _height;
    // A triangle wave over 256 columns, long enough for any row start.
    QByteArray _ramp;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_TESTPICTURE_H_
