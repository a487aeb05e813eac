#include "client/tools/TestPicture.h"

#include <QDateTime>
#include <QTime>
#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
}

namespace tools {

namespace {

constexpr int kRampPeriod = 256;
constexpr uint8_t kBlack = 16;
constexpr uint8_t kWhite = 235;

// Segments a (top), b (top right), c (bottom right), d (bottom),
// e (bottom left), f (top left), g (middle) as bits 0 to 6.
constexpr uint8_t kDigitSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

}  // namespace

TestPicture::TestPicture(int width, int height) : _width(width), _height(height)
{
    _ramp.resize(width + kRampPeriod);
    for (int x = 0; x < _ramp.size(); ++x) {
        const int phase = x % kRampPeriod;
        const int triangle = phase < kRampPeriod / 2 ? phase : kRampPeriod - 1 - phase;
        _ramp[x] = char(kBlack + triangle * (kWhite - kBlack) / (kRampPeriod / 2 - 1));
    }
}

void TestPicture::draw(AVFrame *frame, int64_t index, int64_t timeMs) const
{
    for (int y = 0; y < _height; ++y) {
        const int shift = int((y + 3 * index) % kRampPeriod);
        std::memcpy(frame->data[0] + y * frame->linesize[0], _ramp.constData() + shift, size_t(_width));
    }
    const int barWidth = std::max(2, _width / 16);
    fillLuma(frame, int((index * 4) % _width), 0, barWidth, _height, kWhite);

    const int chromaWidth = _width / 2;
    const int chromaHeight = _height / 2;
    for (int y = 0; y < chromaHeight; ++y) {
        const int drift = int((y * 64 / chromaHeight + index) % 64);
        std::memset(frame->data[1] + y * frame->linesize[1], 96 + drift, size_t(chromaWidth));
        std::memset(frame->data[2] + y * frame->linesize[2], 160 - drift, size_t(chromaWidth));
    }
    drawClock(frame, timeMs);
}

void TestPicture::drawClock(AVFrame *frame, int64_t timeMs) const
{
    const int segment = std::max(2, _height / 40);
    const int thick = std::max(1, segment / 4);
    const int digitWidth = segment + 2 * thick;
    const int digitHeight = 2 * segment + 3 * thick;
    const int gap = 2 * thick;

    const int dayMs = QDateTime::fromMSecsSinceEpoch(timeMs).time().msecsSinceStartOfDay();
    const int hours = dayMs / 3600000, minutes = dayMs / 60000 % 60, seconds = dayMs / 1000 % 60, ms = dayMs % 1000;
    const int digits[9] = {hours / 10, hours % 10, minutes / 10, minutes % 10, seconds / 10, seconds % 10,
                           ms / 100, ms / 10 % 10, ms % 10};

    const int left = gap, top = gap;
    const int textWidth = 9 * (digitWidth + gap) + 3 * (thick + gap);
    fillLuma(frame, 0, 0, textWidth + 2 * gap, digitHeight + 2 * gap, kBlack);
    int x = left;
    for (int i = 0; i < 9; ++i) {
        if (i == 2 || i == 4 || i == 6) {
            // A colon between fields, a single dot before the milliseconds.
            fillLuma(frame, x, top + digitHeight - thick, thick, thick, kWhite);
            if (i != 6)
                fillLuma(frame, x, top + segment, thick, thick, kWhite);
            x += thick + gap;
        }
        const uint8_t on = kDigitSegments[digits[i]];
        const int middle = top + segment + thick, bottom = top + 2 * segment + 2 * thick;
        const int right = x + segment + thick;
        if (on & 0x01) fillLuma(frame, x + thick, top, segment, thick, kWhite);
        if (on & 0x02) fillLuma(frame, right, top + thick, thick, segment, kWhite);
        if (on & 0x04) fillLuma(frame, right, middle + thick, thick, segment, kWhite);
        if (on & 0x08) fillLuma(frame, x + thick, bottom, segment, thick, kWhite);
        if (on & 0x10) fillLuma(frame, x, middle + thick, thick, segment, kWhite);
        if (on & 0x20) fillLuma(frame, x, top + thick, thick, segment, kWhite);
        if (on & 0x40) fillLuma(frame, x + thick, middle, segment, thick, kWhite);
        x += digitWidth + gap;
    }
}

void TestPicture::fillLuma(AVFrame *frame, int x, int y, int width, int height, uint8_t value) const
{
    const int right = std::min(_width, x + width), bottom = std::min(_height, y + height);
    x = std::max(0, x);
    y = std::max(0, y);
    for (int row = y; row < bottom; ++row) {
        if (right > x)
            std::memset(frame->data[0] + row * frame->linesize[0] + x, value, size_t(right - x));
    }
}

}  // namespace tools
