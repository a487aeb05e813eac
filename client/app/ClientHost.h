// ClientHost: what the stand-in client sets up once per process for its
// plug-ins. The runtime's components (translator, encoded data queue), the
// component manager with the security, user-session and archive panel
// services and the AV format manager, the settings, the two users
// ("operator" may export, "guest" may not), and the export plug-in library
// loaded into that.
//
// GUI thread. Owns the services, the settings and the plug-in library.
// shutdown() (also run by the destructor) releases all of it; whatever the
// plug-in made for frames must be gone before. leftoverComponents() then
// tells what the runtime's ledger still counts as alive.
#ifndef CLIENT_APP_CLIENTHOST_H_
#define CLIENT_APP_CLIENTHOST_H_

#include "client/app/PluginLibrary.h"
#include "client/services/Services.h"
#include "client/runtime/Components.h"

#include <QString>
#include <memory>

namespace clientapp {

extern const char kExportPermission[];
extern const char kOperator[];
extern const char kGuest[];

// Makes the client's data folder (../data beside the executable) the
// working directory: the plug-in loads its icon and the translator its
// table relative to it.
bool enterDataFolder(QString *error);
// ../plugins/libexportarchive.so beside the executable.
QString defaultPluginPath();
// A path given on the command line, made absolute against the directory
// the client was started in (before enterDataFolder changes it).
QString absolutePath(const QString &path);

class ClientHost {
public:
    ClientHost();
    ~ClientHost();
    ClientHost(const ClientHost &) = delete;
    ClientHost &operator=(const ClientHost &) = delete;

    // debugLevel < 0 keeps the setting as the settings file and the
    // environment give it. The operator is signed in.
    bool start(const QString &pluginPath, int debugLevel, QString *error);
    void shutdown();

    IComponentManager *manager() { return &_manager; }
    vo::IVideoFrameGuiPluginFactory *factory() const { return _plugin.factory(); }

    // Who is signed in and whether that user may export; each change posts
    // the services' events to the plug-in's controls.
    void signIn(const QString &user);
    QString currentUser() const;
    bool currentUserMayExport() const;
    void setCurrentUserMayExport(bool allowed);

private:
    velt::ComponentManager _manager;
    std::unique_ptr<clientui::Services> _services;
    PluginLibrary _plugin;
};

// One line per component the runtime's ledger still counts as alive (and a
// line for double releases); empty after a clean run.
QString leftoverComponents();

}  // namespace clientapp

#endif  // CLIENT_APP_CLIENTHOST_H_
