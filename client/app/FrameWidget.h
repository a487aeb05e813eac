// FrameWidget: the client's video frame on screen. It paints the player's
// pictures (or a live placeholder), carries the frame component that the
// plug-ins see (clientui::VideoFrame) and hosts the controls a video-frame
// plug-in makes for it: the button in its top-right corner, shown while the
// pointer is over the frame, and the actions in its context menu, which is
// built from the widget's actions.
//
// GUI thread. Holds a reference to the frame component; the plug-in's
// button and actions are its Qt children and are destroyed with it.
#ifndef CLIENT_APP_FRAMEWIDGET_H_
#define CLIENT_APP_FRAMEWIDGET_H_

#include "client/services/VideoFrame.h"

#include <QImage>
#include <QList>
#include <QPointer>
#include <QWidget>
#include <memory>

class QMenu;

namespace clientapp {

class FrameWidget : public QWidget {
    Q_OBJECT

public:
    explicit FrameWidget(QWidget *parent = nullptr);
    // The frame reference goes with the members; the plug-in's controls hold
    // their own and go with the child widgets and actions, after it.
    ~FrameWidget() override = default;

    // The frame as the plug-ins see it.
    ComponentRef<IVideoFrame> frame() const { return ComponentRef<IVideoFrame>(_frame); }

    // Asks `factory` for this frame's button and actions.
    void attachPlugin(vo::IVideoFrameGuiPluginFactory *factory);
    QWidget *pluginButton() const { return _button; }
    QList<QAction *> pluginActions() const;

    // The frame's source; both post the frame event to the plug-in's controls.
    void showLive(const QString &channel);
    void showArchive(const ComponentRef<IArchiveVideoSource> &source);
    bool isLive() const { return _live; }

    // The context menu as a right click shows it.
    std::unique_ptr<QMenu> makeContextMenu();

    QSize sizeHint() const override { return QSize(960, 540); }

public slots:
    void setPicture(const QImage &picture);
    void setCaption(const QString &caption);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void setPointerInside(bool inside);
    void placeButton();

    ComponentRef<clientui::VideoFrame> _frame;
    QPointer<QWidget> _button;
    QList<QPointer<QAction>> _actions;
    QImage _picture;
    QString _caption;
    QString _liveChannel;
    bool _live = false;
};

}  // namespace clientapp

#endif  // CLIENT_APP_FRAMEWIDGET_H_
