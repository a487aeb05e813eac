#include "client/app/TimeLine.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>

namespace clientapp {

namespace {
constexpr int kMargin = 8;
constexpr int kBarHeight = 18;
constexpr int kLabelHeight = 16;

QString clockText(int64_t timeMs) { return QDateTime::fromMSecsSinceEpoch(timeMs).toString(QStringLiteral("hh:mm:ss")); }
}  // namespace

TimeLine::TimeLine(QWidget *parent) : QWidget(parent)
{
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TimeLine::setFragments(const std::vector<Fragment> &fragments)
{
    _fragments = fragments;
    _firstMs = fragments.empty() ? 0 : fragments.front().start;
    _lastMs = fragments.empty() ? 0 : fragments.back().end;
    update();
}

QSize TimeLine::sizeHint() const { return QSize(640, minimumSizeHint().height()); }

QSize TimeLine::minimumSizeHint() const { return QSize(200, 2 * kMargin + kBarHeight + kLabelHeight); }

QRect TimeLine::barRect() const { return QRect(kMargin, kMargin, width() - 2 * kMargin, kBarHeight); }

int64_t TimeLine::timeAt(int x) const
{
    const QRect bar = barRect();
    if (bar.width() <= 0 || _lastMs <= _firstMs)
        return _firstMs;
    const double fraction = std::clamp(double(x - bar.left()) / double(bar.width()), 0.0, 1.0);
    return _firstMs + int64_t(fraction * double(_lastMs - _firstMs));
}

int TimeLine::xOf(int64_t timeMs) const
{
    const QRect bar = barRect();
    if (_lastMs <= _firstMs)
        return bar.left();
    return bar.left() + int(double(timeMs - _firstMs) / double(_lastMs - _firstMs) * double(bar.width()));
}

void TimeLine::setPosition(qint64 timeMs)
{
    if (timeMs == _positionMs)
        return;
    _positionMs = timeMs;
    update();
}

void TimeLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const QRect bar = barRect();
    // The whole span is a gap until a fragment covers it.
    painter.fillRect(bar, QColor(60, 60, 60));
    painter.fillRect(bar, QBrush(QColor(110, 110, 110), Qt::BDiagPattern));
    for (const Fragment &fragment : _fragments) {
        const int left = xOf(fragment.start);
        const int right = std::max(left + 1, xOf(fragment.end));
        painter.fillRect(QRect(left, bar.top(), right - left, bar.height()), QColor(46, 139, 87));
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(bar.adjusted(0, 0, -1, -1));

    painter.setPen(palette().color(QPalette::WindowText));
    const QRect labels(bar.left(), bar.bottom() + 2, bar.width(), kLabelHeight);
    if (!_fragments.empty()) {
        painter.drawText(labels, Qt::AlignLeft | Qt::AlignVCenter, clockText(_firstMs));
        painter.drawText(labels, Qt::AlignRight | Qt::AlignVCenter, clockText(_lastMs));
    }
    if (_positionMs >= _firstMs && _positionMs <= _lastMs) {
        const int x = xOf(_positionMs);
        painter.setPen(QPen(QColor(220, 40, 40), 2));
        painter.drawLine(x, bar.top() - 3, x, bar.bottom() + 3);
    }
}

void TimeLine::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && !_fragments.empty())
        emit seekRequested(timeAt(int(event->position().x())));
}

void TimeLine::mouseMoveEvent(QMouseEvent *event)
{
    if (_fragments.empty())
        return;
    const int64_t timeMs = timeAt(int(event->position().x()));
    if (event->buttons() & Qt::LeftButton)
        emit seekRequested(timeMs);
    const bool recorded = std::any_of(_fragments.begin(), _fragments.end(),
                                      [timeMs](const Fragment &f) { return f.start <= timeMs && timeMs < f.end; });
    QToolTip::showText(event->globalPosition().toPoint(),
                       recorded ? clockText(timeMs) : clockText(timeMs) + tr(" (not recorded)"), this);
}

}  // namespace clientapp
