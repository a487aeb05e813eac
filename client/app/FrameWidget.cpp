#include "client/app/FrameWidget.h"

#include "client/runtime/Runtime.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>

namespace clientapp {

namespace {
constexpr int kButtonMargin = 6;
}

FrameWidget::FrameWidget(QWidget *parent)
    : QWidget(parent), _frame(velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame"))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 180);
    _frame->setPluginGuiVisible(false);
}

void FrameWidget::attachPlugin(vo::IVideoFrameGuiPluginFactory *factory)
{
    const ComponentRef<IVideoFrame> frameRef = frame();
    _button = factory->createButton(frameRef, this, nullptr);
    if (_button) {
        _frame->addPluginObject(_button);
        placeButton();
    }
    for (QAction *action : factory->createActions(frameRef, this, nullptr)) {
        _actions.append(action);
        _frame->addPluginObject(action);
    }
}

QList<QAction *> FrameWidget::pluginActions() const
{
    QList<QAction *> actions;
    for (const QPointer<QAction> &action : _actions)
        if (action)
            actions.append(action);
    return actions;
}

void FrameWidget::showLive(const QString &channel)
{
    _live = true;
    _liveChannel = channel;
    _frame->showLive(channel);
    update();
}

void FrameWidget::showArchive(const ComponentRef<IArchiveVideoSource> &source)
{
    _live = false;
    _frame->showArchive(source);
    update();
}

void FrameWidget::setPicture(const QImage &picture)
{
    _picture = picture;
    if (!_live)
        update();
}

void FrameWidget::setCaption(const QString &caption)
{
    // The player reports its position far more often than the text changes.
    if (caption == _caption)
        return;
    _caption = caption;
    update();
}

void FrameWidget::setPointerInside(bool inside)
{
    if (_frame->isPluginGuiVisible() == inside)
        return;
    _frame->setPluginGuiVisible(inside);
    // The controls' visibility is part of the frame's state: the actions
    // learn it only from a frame event (they ignore show requests).
    _frame->notifyPluginObjects();
}

void FrameWidget::enterEvent(QEnterEvent *event)
{
    setPointerInside(true);
    QWidget::enterEvent(event);
}

void FrameWidget::leaveEvent(QEvent *event)
{
    // A pointer that moves onto the button is still over the frame.
    if (!rect().contains(mapFromGlobal(QCursor::pos())))
        setPointerInside(false);
    QWidget::leaveEvent(event);
}

void FrameWidget::placeButton()
{
    if (!_button)
        return;
    _button->adjustSize();
    _button->move(width() - _button->width() - kButtonMargin, kButtonMargin);
    _button->raise();
}

void FrameWidget::resizeEvent(QResizeEvent *event)
{
    placeButton();
    QWidget::resizeEvent(event);
}

std::unique_ptr<QMenu> FrameWidget::makeContextMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    menu->addActions(actions());
    return menu;
}

void FrameWidget::contextMenuEvent(QContextMenuEvent *event)
{
    std::unique_ptr<QMenu> menu = makeContextMenu();
    menu->exec(event->globalPos());
}

void FrameWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (_live) {
        painter.setPen(QColor(200, 200, 200));
        painter.drawText(rect(), Qt::AlignCenter,
                         tr("Live: %1\nThis stand-in client has no camera; switch to the archive to play "
                            "recorded video.")
                             .arg(_liveChannel));
    } else if (!_picture.isNull()) {
        const QSize scaled = _picture.size().scaled(size(), Qt::KeepAspectRatio);
        const QRect target(QPoint((width() - scaled.width()) / 2, (height() - scaled.height()) / 2), scaled);
        painter.drawImage(target, _picture);
    }
    const QString caption = _live ? tr("LIVE  %1").arg(_liveChannel) : _caption;
    if (!caption.isEmpty()) {
        const QRect box = painter.fontMetrics().boundingRect(caption).adjusted(-6, -3, 6, 3);
        // Bottom left: cameras stamp their own time at the top.
        const QRect placed = box.translated(kButtonMargin - box.left(), height() - kButtonMargin - box.bottom());
        painter.fillRect(placed, QColor(0, 0, 0, 150));
        painter.setPen(_live ? QColor(255, 90, 90) : QColor(240, 240, 240));
        painter.drawText(placed, Qt::AlignCenter, caption);
    }
}

}  // namespace clientapp
