// Client interfaces of the component framework that every part of the
// plug-in sees: components, the component manager, settings, translation.
// Declared by the client; the plug-in only calls them.
#ifndef PLUGIN_HOST_COMPONENT_H_
#define PLUGIN_HOST_COMPONENT_H_

#include <velt/velt>

#include <QString>
#include <string>

class ISettings;

// Looks up the client's shared components by GUID string. Handed to every
// root component at start and passed on, never owned by the plug-in.
class IComponentManager : public IPolymorph {
public:
    // Empty when the client has no such component.
    virtual ComponentRef<IPolymorph> getComponent(const std::string &guid) = 0;
};

class ISettings : public IPolymorph {
public:
    virtual int getInt(const std::string &key, int defaultValue) = 0;
};

class ITranslator : public IPolymorph {
public:
    // Writes the text for `key` into `result` and returns true when known.
    virtual bool translate(const QString &key, QString &result) = 0;
};

// A root component that the client loads from a plug-in library.
class IComponent : public IPolymorph {
public:
    virtual bool init(const ComponentRef<ISettings> &settings, IComponentManager *manager) = 0;
    virtual void deinit() = 0;
    virtual bool canUnload() = 0;
};

#endif  // PLUGIN_HOST_COMPONENT_H_
