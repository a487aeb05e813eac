// What the video frame's export button and export action share: reaching
// the frame's archive source, asking for the export permission, telling the
// client's posted events apart, and running the export dialog.
//
// GUI thread only. Nothing here holds a reference beyond the call.
#ifndef PLUGIN_UI_FRAMEEXPORT_H_
#define PLUGIN_UI_FRAMEEXPORT_H_

#include "plugin/host/Component.h"
#include "plugin/host/Secure.h"
#include "plugin/host/VideoFrame.h"

#include <functional>

class QEvent;
class QObject;
class QWidget;

namespace frameexport {

// The frame's current source as an archive source; empty when the frame
// shows nothing or plays live video.
ComponentRef<IArchiveVideoSource> archiveSourceOf(const ComponentRef<IVideoFrame> &frame);

// False without a security manager.
bool exportAllowed(const ComponentRef<secure::ISecureManager> &secureManager);

// Registers `listener` with each manager that is there, security manager
// first; unregisters in the same order.
void addListener(const ComponentRef<secure::ISecureManager> &secureManager,
                 const ComponentRef<secure::IUserSessionManager> &sessionManager, QObject *listener);
void removeListener(const ComponentRef<secure::ISecureManager> &secureManager,
                    const ComponentRef<secure::IUserSessionManager> &sessionManager, QObject *listener);

// Whether the frame plays recorded video and exporting is allowed.
bool canExport(const ComponentRef<IVideoFrame> &frame, bool allowed);

// Reacts to an event posted by the frame or by the security services: a
// frame change (exact type) runs `update`; a permission change of the
// current session (needs the session manager) or a user change (exact type)
// runs `updatePermissions`. Show events are not covered here.
void react(const QEvent *event, const ComponentRef<secure::IUserSessionManager> &sessionManager,
           const std::function<void()> &update, const std::function<void()> &updatePermissions);

// Runs the export dialog modally for the frame's archive source, if it has
// one, and destroys it when it is closed.
void runExportDialog(IComponentManager *manager, const ComponentRef<IVideoFrame> &frame, int debugLevel,
                     QWidget *parent);

}  // namespace frameexport

#endif  // PLUGIN_UI_FRAMEEXPORT_H_
