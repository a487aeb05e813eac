// The stand-in client's video frame and its live source.
//
// VideoFrame shows nothing, a live source or an archive source, switchable at
// any time; it tells the plug-in objects registered with it of every source
// change (vo::QEvent_VideoFrameGuiPlugin) and of every show or hide request
// (vo::GuiPluginShowEvent), as posted events.
//
// GUI thread only. The frame holds a reference to its current source;
// registered objects are not owned and may go without unregistering.
#ifndef CLIENT_SERVICES_VIDEOFRAME_H_
#define CLIENT_SERVICES_VIDEOFRAME_H_

#include "client/services/Listeners.h"
#include "client/services/NamedChannel.h"
#include "plugin/host/Archive.h"
#include "plugin/host/VideoFrame.h"

#include <QString>

namespace clientui {

// Live video of a channel: no recorded archive behind it, and not an
// archive source.
class LiveSource : public IVideoSource, public NamedChannel {
public:
    explicit LiveSource(const QString &channel) : _channel(channel) {}
    QString channelName() const override { return _channel; }
    ComponentRef<IArchiveReader> archiveReader() override { return ComponentRef<IArchiveReader>(); }

private:
    QString _channel;
};

class VideoFrame : public IVideoFrame {
public:
    VideoFrame();
    ~VideoFrame() override;

    void showNothing();
    void showLive(const QString &channel);
    void showArchive(const ComponentRef<IArchiveVideoSource> &source);
    // Posts GuiPluginShowEvent(visible) to the registered objects.
    void setPluginGuiVisible(bool visible);
    // Posts QEvent_VideoFrameGuiPlugin (the frame's state changed) to them.
    void notifyPluginObjects();

    void addPluginObject(QObject *object) { _pluginObjects.add(object); }
    void removePluginObject(QObject *object) { _pluginObjects.remove(object); }

    ComponentRef<IVideoSource> videoSource() override { return _source; }
    bool isPluginGuiVisible() override { return _pluginGuiVisible; }

private:
    void setSource(const ComponentRef<IVideoSource> &source);

    ComponentRef<IVideoSource> _source;
    bool _pluginGuiVisible;
    ListenerList _pluginObjects;
};

}  // namespace clientui

#endif  // CLIENT_SERVICES_VIDEOFRAME_H_
