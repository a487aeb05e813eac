#include "plugin/ui/FrameExport.h"

#include "plugin/ui/ExportDialog.h"

#include <typeinfo>

namespace frameexport {

namespace {
const char kExportPermission[] = "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE";
}

ComponentRef<IArchiveVideoSource> archiveSourceOf(const ComponentRef<IVideoFrame> &frame)
{
    ComponentRef<IVideoSource> source = frame->videoSource();
    ComponentRef<IArchiveVideoSource> archive(source);
    source.reset();
    return archive;
}

bool exportAllowed(const ComponentRef<secure::ISecureManager> &secureManager)
{
    return secureManager && secureManager->hasPermission(kExportPermission);
}

void addListener(const ComponentRef<secure::ISecureManager> &secureManager,
                 const ComponentRef<secure::IUserSessionManager> &sessionManager, QObject *listener)
{
    if (secureManager)
        secureManager->addListener(listener);
    if (sessionManager)
        sessionManager->addListener(listener);
}

void removeListener(const ComponentRef<secure::ISecureManager> &secureManager,
                    const ComponentRef<secure::IUserSessionManager> &sessionManager, QObject *listener)
{
    if (secureManager)
        secureManager->removeListener(listener);
    if (sessionManager)
        sessionManager->removeListener(listener);
}

bool canExport(const ComponentRef<IVideoFrame> &frame, bool allowed)
{
    return !archiveSourceOf(frame).isNull() && allowed;
}

void react(const QEvent *event, const ComponentRef<secure::IUserSessionManager> &sessionManager,
           const std::function<void()> &update, const std::function<void()> &updatePermissions)
{
    if (typeid(*event) == typeid(vo::QEvent_VideoFrameGuiPlugin))
        update();
    if (const auto *secureEvent = dynamic_cast<const secure::SecureEvent *>(event)) {
        if (sessionManager && sessionManager->currentSessionId() == secureEvent->sessionId)
            updatePermissions();
    }
    if (typeid(*event) == typeid(secure::UserSessionEvent))
        updatePermissions();
}

void runExportDialog(IComponentManager *manager, const ComponentRef<IVideoFrame> &frame, int debugLevel,
                     QWidget *parent)
{
    ComponentRef<IArchiveVideoSource> source = archiveSourceOf(frame);
    if (!source)
        return;
    {
        ExportDialog dialog(manager, ComponentRef<IArchiveVideoSource>(source), debugLevel, parent);
        dialog.exec();
    }
    source.reset();
}

}  // namespace frameexport
