#include "client/app/ClientHost.h"

#include "client/archive/ArchiveComponents.h"
#include "client/codecs/FormatManager.h"
#include "client/runtime/Runtime.h"

#include <QCoreApplication>
#include <QDir>

namespace clientapp {

const char kExportPermission[] = "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE";
const char kOperator[] = "operator";
const char kGuest[] = "guest";

namespace {

QString besideExecutable(const QString &relative)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative);
}

}  // namespace

bool enterDataFolder(QString *error)
{
    const QString data = besideExecutable(QStringLiteral("../data"));
    if (!QDir::setCurrent(data)) {
        *error = QStringLiteral("cannot enter the client's data folder %1").arg(data);
        return false;
    }
    return true;
}

QString defaultPluginPath() { return besideExecutable(QStringLiteral("../plugins/libexportarchive.so")); }

QString absolutePath(const QString &path) { return QDir::cleanPath(QDir::current().absoluteFilePath(path)); }

ClientHost::ClientHost() = default;

ClientHost::~ClientHost() { shutdown(); }

bool ClientHost::start(const QString &pluginPath, int debugLevel, QString *error)
{
    velt::registerTranslator();
    archive::registerComponents();
    codecs::publish(_manager);
    _services = std::make_unique<clientui::Services>();
    _services->publish(&_manager);
    _services->security->grant(QString::fromLatin1(kOperator), kExportPermission);
    _services->sessions->logIn(QString::fromLatin1(kOperator));

    ComponentRef<velt::Settings> settings = velt::makeRef(new velt::Settings, "velt::Settings");
    if (debugLevel >= 0)
        settings->setInt("DEBUG_LEVEL", debugLevel);
    return _plugin.load(pluginPath, ComponentRef<ISettings>(settings), &_manager, error);
}

void ClientHost::shutdown()
{
    _plugin.unload();
    if (_services)
        _services->unpublish(&_manager);
    _services.reset();
    _manager.clear();
}

void ClientHost::signIn(const QString &user) { _services->sessions->logIn(user); }

QString ClientHost::currentUser() const { return _services->sessions->currentUser(); }

bool ClientHost::currentUserMayExport() const { return _services->security->hasPermission(kExportPermission); }

void ClientHost::setCurrentUserMayExport(bool allowed)
{
    const QString user = currentUser();
    if (allowed)
        _services->security->grant(user, kExportPermission);
    else
        _services->security->revoke(user, kExportPermission);
}

QString leftoverComponents()
{
    QString text = QString::fromStdString(velt::describeLiveBlocks());
    if (const int stray = velt::strayRemoves())
        text += QStringLiteral("  %1 counter block(s) released more than once\n").arg(stray);
    return text;
}

}  // namespace clientapp
