#include "client/runtime/Components.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <cstdlib>

#ifndef VELT_DEFAULT_DATA_DIR
#define VELT_DEFAULT_DATA_DIR ""
#endif

namespace velt {

namespace {

// Reads KEY=value lines; '#' starts a comment line.
QHash<QString, QString> readKeyValueFile(const QString &path)
{
    QHash<QString, QString> table;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return table;
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        table.insert(line.left(eq).trimmed(), line.mid(eq + 1));
    }
    return table;
}

const QHash<QString, QString> &translationTable()
{
    static const QHash<QString, QString> table =
        readKeyValueFile(dataDir() + QStringLiteral("/translations/en.txt"));
    return table;
}

}  // namespace

QString dataDir()
{
    const QByteArray env = qgetenv("VELT_DATA_DIR");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    if (QFileInfo::exists(QStringLiteral("translations/en.txt")))
        return QDir::currentPath();
    return QString::fromUtf8(VELT_DEFAULT_DATA_DIR);
}

void registerTranslator()
{
    registerFactory("core.Translator", [] { return static_cast<void *>(static_cast<ITranslator *>(new Translator)); });
}

Translator::Translator() : _table(translationTable()) {}

bool Translator::translate(const QString &key, QString &result)
{
    auto it = _table.constFind(key);
    if (it == _table.constEnd())
        return false;
    result = it.value();
    return true;
}

Settings::Settings()
{
    const QHash<QString, QString> file = readKeyValueFile(dataDir() + QStringLiteral("/settings.ini"));
    for (auto it = file.constBegin(); it != file.constEnd(); ++it) {
        bool ok = false;
        const int value = it.value().trimmed().toInt(&ok);
        if (ok)
            _fileValues[it.key().toStdString()] = value;
    }
}

int Settings::getInt(const std::string &key, int defaultValue)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto code = _codeValues.find(key);
        if (code != _codeValues.end())
            return code->second;
    }
    if (const char *env = std::getenv(("VELT_" + key).c_str())) {
        char *end = nullptr;
        const long value = std::strtol(env, &end, 10);
        if (end != env && *end == '\0')
            return int(value);
    }
    const auto file = _fileValues.find(key);
    return file == _fileValues.end() ? defaultValue : file->second;
}

void Settings::setInt(const std::string &key, int value)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _codeValues[key] = value;
}

ComponentRef<IPolymorph> ComponentManager::getComponent(const std::string &guid)
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _components.find(guid);
    return it == _components.end() ? ComponentRef<IPolymorph>() : it->second;
}

void ComponentManager::setComponent(const std::string &guid, const ComponentRef<IPolymorph> &component)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _components[guid] = component;
}

void ComponentManager::removeComponent(const std::string &guid)
{
    ComponentRef<IPolymorph> released;
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _components.find(guid);
    if (it != _components.end()) {
        released = it->second;
        _components.erase(it);
    }
}

void ComponentManager::clear()
{
    std::map<std::string, ComponentRef<IPolymorph>> released;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        released.swap(_components);
    }
}

}  // namespace velt
