#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The real agent binary, started (by default in developer mode) under a fresh home directory. Standard error
// is collected so tests can wait for and inspect log lines.
class AgentProcess {
public:
    AgentProcess();
    ~AgentProcess();

    // Writes ~/.config/nembi-remote-agent/config.json before start().
    void writeConfig(const QByteArray& json);
    // Picks a free port pair and sets it in the configuration unless the test wrote its own.
    bool start(const QStringList& args = {QStringLiteral("--dev")});
    // Sets a variable of the agent's environment (before start()).
    // Overrides one variable of the environment the agent inherits when it starts.
    void setEnv(const QString& name, const QString& value) { env_.insert(name, value); }
    // Ends the agent with SIGTERM (if it still runs); a sanitizer report in its output fails the test.
    void stop();
    // Sends `signal` to the running agent.
    void signal(int signal);
    // The soft limit of open descriptors the agent starts with (before start()); a desktop's 1024
    // by default is what the agent meets in the wild.
    void setDescriptorLimit(int soft) { descriptorLimit_ = soft; }
    qint64 pid() const { return process_.processId(); }

    QString home() const { return home_.path(); }
    int port() const { return port_; }
    int devPort() const { return port_ + 1; }
    QString url() const;

    // Waits until a log line contains `text`.
    bool waitForLog(const QString& text, int timeoutMs = 10000);
    int countLog(const QString& text);
    QString log();
    bool running() const { return process_.state() == QProcess::Running; }
    // Waits for the agent to exit by itself; false when it still runs after `timeoutMs`.
    bool waitForExit(int timeoutMs);
    // How it ended: its exit status, and whether a signal ended it instead.
    int exitCode() const { return process_.exitCode(); }
    bool crashed() const { return process_.exitStatus() == QProcess::CrashExit; }

private:
    QTemporaryDir home_;
    QProcess process_;
    QProcessEnvironment env_;
    QByteArray stderr_;
    int port_ = 0;
    bool configWritten_ = false;
    int descriptorLimit_ = 0;
    bool reported_ = false;
};

// A TCP port that is free on loopback now, and whose successor is free too.
int freePortPair();
