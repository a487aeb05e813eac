// Client interfaces of a video frame and of the plug-ins that add controls
// to it, with the frame's posted events.
#ifndef PLUGIN_HOST_VIDEOFRAME_H_
#define PLUGIN_HOST_VIDEOFRAME_H_

#include "plugin/host/Sources.h"

#include <QEvent>
#include <QList>

class QAction;
class QWidget;

class IVideoFrame : public IPolymorph {
public:
    // Empty when the frame shows nothing.
    virtual ComponentRef<IVideoSource> videoSource() = 0;
    // Whether the frame's plug-in controls are to be shown now.
    virtual bool isPluginGuiVisible() = 0;
};

namespace vo {

enum EventType { VideoFrameGuiPluginEventType = QEvent::User + 111, GuiPluginShowEventType = QEvent::User + 112 };

// Posted by a frame when its source or state changed.
class QEvent_VideoFrameGuiPlugin : public QEvent {
public:
    QEvent_VideoFrameGuiPlugin() : QEvent(QEvent::Type(VideoFrameGuiPluginEventType)) {}
};

// Posted by a frame to show or hide its plug-in controls.
class GuiPluginShowEvent : public QEvent {
public:
    explicit GuiPluginShowEvent(bool showControls)
        : QEvent(QEvent::Type(GuiPluginShowEventType)), show(showControls) {}
    bool show;
};

class IVideoFrameGuiPluginFactory {
public:
    virtual ~IVideoFrameGuiPluginFactory() {}
    // Overlay description; this plug-in has none.
    virtual void *overlayInfo() = 0;
    virtual QWidget *createButton(const ComponentRef<IVideoFrame> &frame, QWidget *parent, void *plugin) = 0;
    virtual QList<QAction *> createActions(const ComponentRef<IVideoFrame> &frame, QWidget *parent,
                                           void *plugin) = 0;
};

}  // namespace vo

#endif  // PLUGIN_HOST_VIDEOFRAME_H_
