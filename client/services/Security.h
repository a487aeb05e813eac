// The stand-in client's security services: a user-session manager (who is
// logged in, one session per user) and a security manager (which user holds
// which permission). Both can be changed at run time and tell their
// listeners with posted events: UserSessionEvent when the current user
// changes, SecureEvent with the session concerned when a user's permissions
// change.
//
// GUI thread only. Handed out through velt::makeRef; the security manager
// holds a reference to the session manager to learn the current user.
#ifndef CLIENT_SERVICES_SECURITY_H_
#define CLIENT_SERVICES_SECURITY_H_

#include "client/services/Listeners.h"
#include "plugin/host/Secure.h"

#include <QHash>
#include <QSet>
#include <QString>

namespace clientui {

class UserSessionManager : public secure::IUserSessionManager {
public:
    // Makes `user` the current user; posts UserSessionEvent when it changes.
    void logIn(const QString &user);
    QString currentUser() const { return _user; }
    // The session of `user`, made on first use; each user has one.
    secure::SessionId sessionOf(const QString &user);

    // Zero bytes while nobody is logged in.
    secure::SessionId currentSessionId() override;
    void addListener(QObject *listener) override { _listeners.add(listener); }
    void removeListener(QObject *listener) override { _listeners.remove(listener); }
    int listenerCount() const { return _listeners.size(); }

private:
    QString _user;
    QHash<QString, secure::SessionId> _sessions;
    ListenerList _listeners;
};

class SecureManager : public secure::ISecureManager {
public:
    explicit SecureManager(const ComponentRef<UserSessionManager> &sessions);
    ~SecureManager() override;

    // Post SecureEvent with the session of `user` when something changes.
    void grant(const QString &user, const std::string &permission);
    void revoke(const QString &user, const std::string &permission);

    // Whether the current user holds `permission`.
    bool hasPermission(const std::string &permission) override;
    void addListener(QObject *listener) override { _listeners.add(listener); }
    void removeListener(QObject *listener) override { _listeners.remove(listener); }
    int listenerCount() const { return _listeners.size(); }

private:
    void changed(const QString &user);

    ComponentRef<UserSessionManager> _sessions;
    QHash<QString, QSet<QString>> _permissions;  // by user
    ListenerList _listeners;
};

}  // namespace clientui

#endif  // CLIENT_SERVICES_SECURITY_H_
