// PluginLibrary: one video-frame plug-in library loaded the way the client
// loads it. dlopen, then the exported VeltMyName and VeltGetObject with the
// interface version; init of the root component with the client's settings
// and component manager; the root seen as a video-frame GUI plug-in
// factory. unload() deletes the root through VeltDeleteObject and closes
// the library.
//
// GUI thread. Owns the library handle and the root component; the settings
// reference is held only for the init call; the component manager belongs
// to the caller and must outlive the factory.
#ifndef CLIENT_APP_PLUGINLIBRARY_H_
#define CLIENT_APP_PLUGINLIBRARY_H_

#include "plugin/host/Component.h"
#include "plugin/host/VideoFrame.h"

#include <QString>

namespace clientapp {

class PluginLibrary {
public:
    static constexpr int kInterfaceVersion = 1721;

    PluginLibrary() = default;
    ~PluginLibrary() { unload(); }
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    // False with *error set when the library cannot be loaded, lacks an
    // entry point, refuses the version or its root is no frame plug-in.
    bool load(const QString &path, const ComponentRef<ISettings> &settings, IComponentManager *manager,
              QString *error);
    // Deletes the root component and closes the library; everything the
    // factory made must be gone by then.
    void unload();

    vo::IVideoFrameGuiPluginFactory *factory() const { return _factory; }

private:
    using DeleteObject = void (*)(IComponent **, int);

    void *_handle = nullptr;
    IComponent *_root = nullptr;
    vo::IVideoFrameGuiPluginFactory *_factory = nullptr;  // _root seen as a factory
    DeleteObject _deleteObject = nullptr;
};

}  // namespace clientapp

#endif  // CLIENT_APP_PLUGINLIBRARY_H_
