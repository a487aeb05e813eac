// Collects Qt's debug and warning messages, from any thread, while it lives,
// and keeps them off the test output. One at a time per process.
#ifndef TESTS_SUPPORT_MESSAGECAPTURE_H_
#define TESTS_SUPPORT_MESSAGECAPTURE_H_

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <atomic>
#include <mutex>

namespace testsupport {

class MessageCapture {
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList debug() const;
    QStringList warnings() const;
    bool warningsContain(const QString &text) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static std::atomic<MessageCapture *> _current;

    QtMessageHandler _previous;  // constant after construction
    mutable std::mutex _mutex;
    QStringList _debug;     // guarded by _mutex
    QStringList _warnings;  // guarded by _mutex
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_MESSAGECAPTURE_H_
