// TimeLine: the strip under the video frame that shows the archive from its
// first to its last recorded time: recorded fragments as bars, the gaps
// between them hatched, the player's position as a line. A click or drag
// asks the player to go to the time under the pointer.
//
// GUI thread; a plain widget owned by its parent.
#ifndef CLIENT_APP_TIMELINE_H_
#define CLIENT_APP_TIMELINE_H_

#include "plugin/host/Archive.h"

#include <QWidget>
#include <vector>

namespace clientapp {

class TimeLine : public QWidget {
    Q_OBJECT

public:
    explicit TimeLine(QWidget *parent = nullptr);

    void setFragments(const std::vector<Fragment> &fragments);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

public slots:
    void setPosition(qint64 timeMs);

signals:
    void seekRequested(qint64 timeMs);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    // The time under x (pixels from the left), within the archive's bounds.
    int64_t timeAt(int x) const;
    int xOf(int64_t timeMs) const;
    QRect barRect() const;

    std::vector<Fragment> _fragments;
    int64_t _firstMs = 0;
    int64_t _lastMs = 0;
    int64_t _positionMs = -1;
};

}  // namespace clientapp

#endif  // CLIENT_APP_TIMELINE_H_
