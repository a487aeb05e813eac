// ListenerList: the objects a stand-in client component posts its events to.
// Listeners that are destroyed without unregistering are skipped.
//
// GUI thread only. Holds no ownership of the listeners; posted events belong
// to Qt.
#ifndef CLIENT_SERVICES_LISTENERS_H_
#define CLIENT_SERVICES_LISTENERS_H_

#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QPointer>

namespace clientui {

class ListenerList {
public:
    void add(QObject *listener)
    {
        if (listener && !contains(listener))
            _listeners.append(listener);
    }
    void remove(QObject *listener)
    {
        _listeners.removeIf([listener](const QPointer<QObject> &p) { return p.isNull() || p == listener; });
    }
    bool contains(QObject *listener) const
    {
        for (const QPointer<QObject> &p : _listeners)
            if (p == listener)
                return true;
        return false;
    }
    int size() const { return int(_listeners.size()); }

    // Posts a new event made by `makeEvent` to every live listener.
    template <class MakeEvent>
    void post(MakeEvent makeEvent) const
    {
        for (const QPointer<QObject> &p : _listeners)
            if (!p.isNull())
                QCoreApplication::postEvent(p.data(), makeEvent());
    }

private:
    QList<QPointer<QObject>> _listeners;
};

}  // namespace clientui

#endif  // CLIENT_SERVICES_LISTENERS_H_
