#include "client/services/Services.h"

#include "client/runtime/Components.h"
#include "plugin/host/Guids.h"

namespace clientui {

Services::Services()
    : sessions(velt::makeRef(new UserSessionManager, "clientui::UserSessionManager")),
      security(velt::makeRef(new SecureManager(sessions), "clientui::SecureManager")),
      archivePanel(velt::makeRef(new ArchivePanelManager, "clientui::ArchivePanelManager"))
{
}

Services::~Services()
{
    archivePanel.reset();
    security.reset();
    sessions.reset();
}

void Services::publish(velt::ComponentManager *manager) const
{
    manager->setComponent(guids::kSecureManager, ComponentRef<IPolymorph>(security));
    manager->setComponent(guids::kUserSessionManager, ComponentRef<IPolymorph>(sessions));
    manager->setComponent(guids::kArchivePanelManager, ComponentRef<IPolymorph>(archivePanel));
}

void Services::unpublish(velt::ComponentManager *manager) const
{
    manager->removeComponent(guids::kSecureManager);
    manager->removeComponent(guids::kUserSessionManager);
    manager->removeComponent(guids::kArchivePanelManager);
}

}  // namespace clientui
