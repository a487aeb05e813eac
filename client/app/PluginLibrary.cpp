#include "client/app/PluginLibrary.h"

#include <cstdint>
#include <dlfcn.h>

namespace clientapp {

namespace {

using MyName = void (*)(const char **, uint32_t *, int);
using GetObject = void (*)(IComponent **, int);

QString dlErrorText()
{
    const char *text = dlerror();
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
}

}  // namespace

bool PluginLibrary::load(const QString &path, const ComponentRef<ISettings> &settings, IComponentManager *manager,
                         QString *error)
{
    unload();
    _handle = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!_handle) {
        *error = QStringLiteral("cannot load the plug-in %1: %2").arg(path, dlErrorText());
        return false;
    }
    const auto myName = reinterpret_cast<MyName>(dlsym(_handle, "VeltMyName"));
    const auto getObject = reinterpret_cast<GetObject>(dlsym(_handle, "VeltGetObject"));
    _deleteObject = reinterpret_cast<DeleteObject>(dlsym(_handle, "VeltDeleteObject"));
    if (!myName || !getObject || !_deleteObject) {
        *error = QStringLiteral("%1 is not a Velt plug-in (an entry point is missing)").arg(path);
        unload();
        return false;
    }
    const char *name = nullptr;
    uint32_t unused = 0;
    myName(&name, &unused, kInterfaceVersion);
    if (!name) {
        *error = QStringLiteral("%1 does not speak interface version %2").arg(path).arg(kInterfaceVersion);
        unload();
        return false;
    }
    getObject(&_root, kInterfaceVersion);
    _factory = dynamic_cast<vo::IVideoFrameGuiPluginFactory *>(_root);
    if (!_factory) {
        *error = QStringLiteral("the plug-in %1 makes no video-frame controls").arg(QString::fromUtf8(name));
        unload();
        return false;
    }
    _root->init(settings, manager);
    return true;
}

void PluginLibrary::unload()
{
    if (_root && _deleteObject)
        _deleteObject(&_root, kInterfaceVersion);
    _root = nullptr;
    _factory = nullptr;
    _deleteObject = nullptr;
    if (_handle)
        dlclose(_handle);
    _handle = nullptr;
}

}  // namespace clientapp
