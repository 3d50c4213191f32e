#include "AgentProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <sys/resource.h>

int freePortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QTcpServer first;
        if (!first.listen(QHostAddress::Any, 0))
            continue;
        const int port = first.serverPort();
        if (port >= 65535)
            continue;
        QTcpServer second;
        if (second.listen(QHostAddress::Any, static_cast<quint16>(port + 1)))
            return port;
    }
    return 0;
}

AgentProcess::AgentProcess()
{
    QObject::connect(&process_, &QProcess::readyReadStandardError, [this] { stderr_ += process_.readAllStandardError(); });
}

AgentProcess::~AgentProcess() { stop(); }

void AgentProcess::writeConfig(const QByteArray& json)
{
    const QString dir = home_.path() + QStringLiteral("/.config/nembi-remote-agent");
    QDir().mkpath(dir);
    QFile file(dir + QStringLiteral("/config.json"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(json);
    configWritten_ = true;
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    port_ = o.contains(QStringLiteral("port")) ? o.value(QStringLiteral("port")).toInt() : 7420;
}

bool AgentProcess::start(const QStringList& args)
{
    if (!configWritten_) {
        port_ = freePortPair();
        writeConfig(QStringLiteral("{\"port\":%1}").arg(port_).toUtf8());
    }
    // The environment as it is now (fixtures may have set DISPLAY since), plus the overrides.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(env_);
    env.insert(QStringLiteral("HOME"), home_.path());
    env.remove(QStringLiteral("XDG_CONFIG_HOME"));
    process_.setProcessEnvironment(env);
    if (descriptorLimit_ > 0) {
        const rlim_t soft = static_cast<rlim_t>(descriptorLimit_);
        process_.setChildProcessModifier([soft] {
            rlimit limit{};
            if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && soft < limit.rlim_max) {
                limit.rlim_cur = soft;
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
        });
    }
    process_.start(QStringLiteral(AGENT_BINARY), args);
    return process_.waitForStarted(5000);
}

void AgentProcess::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        // A sanitized agent checks for leaks as it exits, which takes a while.
        if (!process_.waitForFinished(60000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    // In a sanitizer build a report goes to standard error (leaks as the agent quits): it fails the
    // test that started the agent, whatever that test looked at.
    static const QRegularExpression report(
        QStringLiteral("ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|UndefinedBehaviorSanitizer"));
    const QString text = log();
    const qsizetype at = text.indexOf(report);
    if (at >= 0 && !reported_) {
        reported_ = true;
        ADD_FAILURE() << "sanitizer report from the agent:\n" << text.mid(std::max<qsizetype>(0, at - 200)).toStdString();
    }
}

void AgentProcess::signal(int signal)
{
    if (process_.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(process_.processId()), signal);
}

QString AgentProcess::url() const { return QStringLiteral("ws://127.0.0.1:%1").arg(devPort()); }

QString AgentProcess::log()
{
    stderr_ += process_.readAllStandardError();
    return QString::fromUtf8(stderr_);
}

bool AgentProcess::waitForExit(int timeoutMs)
{
    return QTest::qWaitFor([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
}

bool AgentProcess::waitForLog(const QString& text, int timeoutMs)
{
    return QTest::qWaitFor([&] { return log().contains(text); }, timeoutMs);
}

int AgentProcess::countLog(const QString& text) { return log().count(text); }
