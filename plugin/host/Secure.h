// Client interfaces of the security and user-session managers and their
// posted events.
#ifndef PLUGIN_HOST_SECURE_H_
#define PLUGIN_HOST_SECURE_H_

#include <velt/velt>

#include <QEvent>
#include <cstring>
#include <string>

class QObject;

namespace secure {

// 16-byte identifier of a user session; equal when all 16 bytes are.
struct SessionId {
    unsigned char bytes[16];
    bool operator==(const SessionId &other) const { return std::memcmp(bytes, other.bytes, 16) == 0; }
    bool operator!=(const SessionId &other) const { return !(*this == other); }
};

enum EventType { SecureEventType = QEvent::User + 101, UserSessionEventType = QEvent::User + 102 };

// Posted to listeners when the permissions of a session change.
class SecureEvent : public QEvent {
public:
    explicit SecureEvent(const SessionId &id) : QEvent(QEvent::Type(SecureEventType)), sessionId(id) {}
    SessionId sessionId;
};

// Posted to listeners when the current user changes.
class UserSessionEvent : public QEvent {
public:
    UserSessionEvent() : QEvent(QEvent::Type(UserSessionEventType)) {}
};

class ISecureManager : public IPolymorph {
public:
    // permission is "GROUP_KEY/NAME_KEY".
    virtual bool hasPermission(const std::string &permission) = 0;
    virtual void addListener(QObject *listener) = 0;
    virtual void removeListener(QObject *listener) = 0;
};

class IUserSessionManager : public IPolymorph {
public:
    virtual SessionId currentSessionId() = 0;
    virtual void addListener(QObject *listener) = 0;
    virtual void removeListener(QObject *listener) = 0;
};

}  // namespace secure

#endif  // PLUGIN_HOST_SECURE_H_
