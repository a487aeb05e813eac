#include "client/services/VideoFrame.h"

#include "client/runtime/Runtime.h"

namespace clientui {

VideoFrame::VideoFrame() : _pluginGuiVisible(true) {}

VideoFrame::~VideoFrame() = default;

void VideoFrame::showNothing() { setSource(ComponentRef<IVideoSource>()); }

void VideoFrame::showLive(const QString &channel)
{
    setSource(velt::makeRef<IVideoSource>(new LiveSource(channel), "clientui::LiveSource"));
}

void VideoFrame::showArchive(const ComponentRef<IArchiveVideoSource> &source)
{
    setSource(ComponentRef<IVideoSource>(source));
}

void VideoFrame::setSource(const ComponentRef<IVideoSource> &source)
{
    _source = source;
    notifyPluginObjects();
}

void VideoFrame::notifyPluginObjects()
{
    _pluginObjects.post([] { return new vo::QEvent_VideoFrameGuiPlugin; });
}

void VideoFrame::setPluginGuiVisible(bool visible)
{
    _pluginGuiVisible = visible;
    _pluginObjects.post([visible] { return new vo::GuiPluginShowEvent(visible); });
}

}  // namespace clientui
