#include "client/services/Security.h"

#include <QUuid>
#include <cstring>

namespace clientui {

void UserSessionManager::logIn(const QString &user)
{
    if (user == _user)
        return;
    _user = user;
    sessionOf(user);
    _listeners.post([] { return new secure::UserSessionEvent; });
}

secure::SessionId UserSessionManager::sessionOf(const QString &user)
{
    auto it = _sessions.find(user);
    if (it == _sessions.end()) {
        secure::SessionId id;
        const QByteArray bytes = QUuid::createUuid().toRfc4122();
        std::memcpy(id.bytes, bytes.constData(), sizeof id.bytes);
        it = _sessions.insert(user, id);
    }
    return it.value();
}

secure::SessionId UserSessionManager::currentSessionId()
{
    if (_user.isEmpty())
        return secure::SessionId{};
    return sessionOf(_user);
}

SecureManager::SecureManager(const ComponentRef<UserSessionManager> &sessions) : _sessions(sessions) {}

SecureManager::~SecureManager() = default;

void SecureManager::grant(const QString &user, const std::string &permission)
{
    QSet<QString> &held = _permissions[user];
    const QString key = QString::fromStdString(permission);
    if (held.contains(key))
        return;
    held.insert(key);
    changed(user);
}

void SecureManager::revoke(const QString &user, const std::string &permission)
{
    auto it = _permissions.find(user);
    if (it == _permissions.end() || !it->remove(QString::fromStdString(permission)))
        return;
    changed(user);
}

bool SecureManager::hasPermission(const std::string &permission)
{
    const QString user = _sessions ? _sessions->currentUser() : QString();
    return _permissions.value(user).contains(QString::fromStdString(permission));
}

void SecureManager::changed(const QString &user)
{
    const secure::SessionId session = _sessions ? _sessions->sessionOf(user) : secure::SessionId{};
    _listeners.post([session] { return new secure::SecureEvent(session); });
}

}  // namespace clientui
