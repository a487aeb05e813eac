#include "tests/support/MessageCapture.h"

#include <algorithm>

namespace testsupport {

std::atomic<MessageCapture *> MessageCapture::_current{nullptr};

MessageCapture::MessageCapture()
{
    _current = this;
    _previous = qInstallMessageHandler(&MessageCapture::handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(_previous);
    _current = nullptr;
}

void MessageCapture::handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    MessageCapture *self = _current.load();
    if (!self)
        return;
    std::lock_guard<std::mutex> lock(self->_mutex);
    if (type == QtDebugMsg)
        self->_debug << message;
    else if (type == QtWarningMsg)
        self->_warnings << message;
}

QStringList MessageCapture::debug() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _debug;
}

QStringList MessageCapture::warnings() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _warnings;
}

bool MessageCapture::warningsContain(const QString &text) const
{
    const QStringList lines = warnings();
    return std::any_of(lines.begin(), lines.end(), [&](const QString &line) { return line.contains(text); });
}

}  // namespace testsupport
