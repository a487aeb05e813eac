// Collects Qt's debug and warning messages, from any thread, while it lives,
// and keeps them off the test output. One at a time per process.
#ifndef TESTS_SUPPORT_MESSAGECAPTURE_H_
#define TESTS_SUPPORT_MESSAGECAPTURE_H_

#include <QStringList>
#include <QtGlobal>
#include <atomic>
#include <mutex>

namespace testsupport {

class MessageCapture {
public:
    MessageCapture() : _previous((_current = this, qInstallMessageHandler(&MessageCapture::handler))) {}
    ~MessageCapture() { qInstallMessageHandler(_previous); _current = nullptr; }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList debug() const { std::lock_guard<std::mutex> lock(_mutex); return _debug; }
    QStringList warnings() const { std::lock_guard<std::mutex> lock(_mutex); return _warnings; }
    bool warningsContain(const QString &text) const { return !warnings().filter(text).isEmpty(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        MessageCapture *self = _current.load();
        if (self && (type == QtDebugMsg || type == QtWarningMsg)) {
            std::lock_guard<std::mutex> lock(self->_mutex);
            (type == QtDebugMsg ? self->_debug : self->_warnings) << message;
        }
    }

    inline static std::atomic<MessageCapture *> _current{nullptr};
    const QtMessageHandler _previous;
    mutable std::mutex _mutex;
    QStringList _debug, _warnings;  // guarded by _mutex
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_MESSAGECAPTURE_H_
