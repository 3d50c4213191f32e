#pragma once

#include <QString>

#include <exception>
#include <string>

namespace core {

// The one diagnostic channel: one time-stamped line on standard error per call.
// Safe from any thread; each call is a single write(2) of the whole line.
void log(const QString& message);

// The line `log` writes for `message` at the current time (time stamp, space, message, line feed).
QByteArray logLine(const QString& message);

// The one error type the agent raises itself. Its text form is exactly the message.
class AgentError : public std::exception {
public:
    explicit AgentError(QString message);

    const QString& description() const { return message_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

    friend bool operator==(const AgentError& a, const AgentError& b) { return a.message_ == b.message_; }

private:
    QString message_;
    std::string utf8_;
};

// The textual description of any error caught as std::exception.
QString describe(const std::exception& e);

} // namespace core
