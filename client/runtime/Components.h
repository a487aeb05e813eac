// The stand-in client's basic components: the translator ("core.Translator"),
// the settings object and the component manager.
//
// The translator reads its table from "translations/en.txt" in the client's
// data folder: $VELT_DATA_DIR, else the working directory, else the build's
// data folder. Lines are KEY=Text; '#' starts a comment line.
//
// Settings: a value set in code (the client's command line) wins over the
// environment (VELT_<KEY>, for example VELT_DEBUG_LEVEL), which wins over
// "settings.ini" (KEY=value lines) in the data folder.
#ifndef CLIENT_RUNTIME_COMPONENTS_H_
#define CLIENT_RUNTIME_COMPONENTS_H_

#include "client/runtime/Runtime.h"
#include "plugin/host/Component.h"

#include <QHash>
#include <QString>
#include <map>
#include <mutex>
#include <string>

namespace velt {

// The data folder the client runs in (see above).
VELT_RUNTIME_API QString dataDir();

// Registers the translator factory under "core.Translator" (idempotent).
VELT_RUNTIME_API void registerTranslator();

class VELT_RUNTIME_API Translator : public ITranslator {
public:
    Translator();
    bool translate(const QString &key, QString &result) override;

private:
    const QHash<QString, QString> &_table;  // shared, loaded once
};

class VELT_RUNTIME_API Settings : public ISettings {
public:
    Settings();
    int getInt(const std::string &key, int defaultValue) override;
    void setInt(const std::string &key, int value);

private:
    // Constant after construction.
    std::map<std::string, int> _fileValues;

    std::mutex _mutex;
    std::map<std::string, int> _codeValues;  // guarded by _mutex
};

// Holds the client's shared components by GUID. Thread-safe.
class VELT_RUNTIME_API ComponentManager : public IComponentManager {
public:
    ComponentRef<IPolymorph> getComponent(const std::string &guid) override;
    void setComponent(const std::string &guid, const ComponentRef<IPolymorph> &component);
    void removeComponent(const std::string &guid);
    // Releases every component it holds.
    void clear();

private:
    std::mutex _mutex;
    std::map<std::string, ComponentRef<IPolymorph>> _components;  // guarded by _mutex
};

}  // namespace velt

#endif  // CLIENT_RUNTIME_COMPONENTS_H_
