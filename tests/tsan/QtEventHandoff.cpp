// Preloaded into the ThreadSanitizer test runs (scripts/test --tsan): Qt
// hands a posted event to another thread through a queue guarded by its own
// futex mutex, which TSan cannot see in an uninstrumented libQt6Core, so it
// would report every event (and whatever its poster wrote before posting)
// as racing with its receiver. Posting an event, deleteLater and a queued
// invokeMethod release the receiver's address; delivering an event acquires
// it. A functor given to invokeMethod is counted inside Qt too, so it is
// wrapped: the call releases the wrapper and its last owner acquires it
// before destroying the functor. Events Qt posts from inside its own library
// are not seen here. Any thread; stateless apart from the real functions.
#include <QCoreApplication>
#include <QEvent>

#include <dlfcn.h>

extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);

namespace {

// Qt's definition of an interposed function.
template <class Function>
Function real(const char *mangledName)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, mangledName));
}

// Runs on the receiving thread before each event is delivered.
bool acquireEvent(void **data)
{
    if (data && data[0])
        __tsan_acquire(data[0]);
    return false;  // deliver as usual
}

const bool g_registered = QInternal::registerCallback(QInternal::EventNotifyCallback, acquireEvent);

class SyncedSlot : public QtPrivate::QSlotObjectBase {
public:
    explicit SyncedSlot(QtPrivate::QSlotObjectBase *inner) : QSlotObjectBase(&impl), _inner(inner) {}

private:
    static void impl(int which, QSlotObjectBase *base, QObject *receiver, void **args, bool *ret)
    {
        auto *self = static_cast<SyncedSlot *>(base);
        switch (which) {
        case Call:
            self->_inner->call(receiver, args);
            __tsan_release(self);
            break;
        case Destroy:
            __tsan_acquire(self);
            self->_inner->destroyIfLastRef();
            delete self;
            break;
        case Compare:
            if (ret)
                *ret = false;
            break;
        }
    }

    QtPrivate::QSlotObjectBase *_inner;
};

}  // namespace

// These interpose on Qt's own definitions for every caller outside libQt6Core.
void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority)
{
    using Function = void (*)(QObject *, QEvent *, int);
    static const Function qt = real<Function>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    __tsan_release(receiver);
    qt(receiver, event, priority);
}

void QObject::deleteLater()
{
    using Function = void (*)(QObject *);
    static const Function qt = real<Function>("_ZN7QObject11deleteLaterEv");
    __tsan_release(this);
    qt(this);
}

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type,
                                   void *ret)
{
    using Function = bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *);
    static const Function qt =
        real<Function>("_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    QtPrivate::QSlotObjectBase *synced = slot ? new SyncedSlot(slot) : slot;
    __tsan_release(object);
    return qt(object, synced, type, ret);
}
