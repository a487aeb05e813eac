// The stand-in client's shared services for the plug-in's user interface:
// security manager, user-session manager and archive panel manager, made
// together and published in a component manager under their GUIDs.
//
// GUI thread. Holds one reference to each service; the component manager
// holds its own while they are published.
#ifndef CLIENT_SERVICES_SERVICES_H_
#define CLIENT_SERVICES_SERVICES_H_

#include "client/services/ArchivePanel.h"
#include "client/services/Security.h"

namespace velt {
class ComponentManager;
}

namespace clientui {

class Services {
public:
    Services();
    ~Services();

    void publish(velt::ComponentManager *manager) const;
    void unpublish(velt::ComponentManager *manager) const;

    ComponentRef<UserSessionManager> sessions;
    ComponentRef<SecureManager> security;
    ComponentRef<ArchivePanelManager> archivePanel;
};

}  // namespace clientui

#endif  // CLIENT_SERVICES_SERVICES_H_
