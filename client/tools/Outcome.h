// Outcome of one velt-archive command and the process exit code it maps to:
// 0 success, 2 input the tool refuses (bad arguments, unusable media, an
// existing archive), 1 a failure while doing the work. Plain value, any
// thread.
#ifndef CLIENT_TOOLS_OUTCOME_H_
#define CLIENT_TOOLS_OUTCOME_H_

#include <QString>

namespace tools {

class Outcome {
public:
    static constexpr int kSuccess = 0;
    static constexpr int kRuntimeFailure = 1;
    static constexpr int kRefusedInput = 2;

    static Outcome success() { return Outcome(kSuccess, QString()); }
    static Outcome refused(const QString &message) { return Outcome(kRefusedInput, message); }
    static Outcome failed(const QString &message) { return Outcome(kRuntimeFailure, message); }

    bool ok() const { return _exitCode == kSuccess; }
    int exitCode() const { return _exitCode; }
    const QString &message() const { return _message; }

private:
    Outcome(int exitCode, const QString &message) : _exitCode(exitCode), _message(message) {}

    int _exitCode;
    QString _message;
};

}  // namespace tools

#endif  // CLIENT_TOOLS_OUTCOME_H_
