#include "Tailscale.h"

#include "Json.h"
#include "Log.h"
#include "linux/Interfaces.h"
#include "linux/Process.h"

namespace core::Tailscale {

namespace {

std::vector<QByteArray> command(const QStringList& args)
{
    std::vector<QByteArray> argv{QByteArrayLiteral("/usr/bin/env"), QByteArrayLiteral("tailscale")};
    for (const QString& a : args)
        argv.push_back(a.toUtf8());
    return argv;
}

// The output of a finished run, or the error that describes how it went wrong.
QByteArray outputOf(const QStringList& args, const os::ProcessOutput& out)
{
    const QString command = QStringLiteral("tailscale ") + args.join(QLatin1Char(' '));
    if (out.overflow)
        throw AgentError(command + QStringLiteral(" wrote too much"));
    if (out.timedOut)
        throw AgentError(command + QStringLiteral(" timed out"));
    if (out.status != 0)
        throw AgentError(command + QStringLiteral(" exited %1").arg(out.status));
    return out.output;
}

} // namespace

QByteArray run(const QStringList& args)
{
    return outputOf(args, os::runProcess(command(args), kMaxOutput, kTimeoutMs));
}

std::optional<QString> ipv4IfAny()
{
    const QString ip = QString::fromUtf8(run({QStringLiteral("ip"), QStringLiteral("-4")})).trimmed();
    if (ip.isEmpty())
        return std::nullopt;
    return ip;
}

QString ipv4()
{
    if (std::optional<QString> ip = ipv4IfAny())
        return *ip;
    throw AgentError(QStringLiteral("tailscale has no IPv4 address"));
}

std::unique_ptr<QObject> whoisAsync(const QString& target, std::function<void(const WhoisResult&)> done)
{
    const QStringList args{QStringLiteral("whois"), QStringLiteral("--json"), target};
    return std::make_unique<os::ChildRun>(
        command(args), kMaxOutput, kTimeoutMs, [args, done = std::move(done)](const os::ChildRun::Result& r) {
            WhoisResult result;
            if (r.startError) {
                result.local = true;
                result.failure = QStringLiteral("cannot start tailscale: ") + *r.startError;
            } else if (r.output.timedOut) {
                result.failure = QStringLiteral("whois timed out");
            } else {
                try {
                    result.whois = decodeWhois(outputOf(args, r.output));
                } catch (const std::exception&) {
                    result.failure = QStringLiteral("whois failed");
                }
            }
            done(result);
        });
}

Whois whois(const QString& target)
{
    return decodeWhois(run({QStringLiteral("whois"), QStringLiteral("--json"), target}));
}

Whois decodeWhois(const QByteArray& json)
{
    const json::Reader root(json::parseObject(json));
    const auto node = root.optObject("Node");
    if (!node)
        throw json::DecodeError(QStringLiteral("missing member \"Node\""));
    const auto user = root.optObject("UserProfile");
    if (!user)
        throw json::DecodeError(QStringLiteral("missing member \"UserProfile\""));

    Whois w;
    w.nodeID = node->integer("ID");
    w.login = user->string("LoginName");
    w.stableID = node->optString("StableID");
    w.dnsName = node->optString("Name");
    if (w.dnsName && w.dnsName->endsWith(QLatin1Char('.')))
        w.dnsName->chop(1);
    return w;
}

std::optional<QString> interfaceName(const QString& ip)
{
    for (const os::InterfaceAddress& entry : os::ipv4Addresses()) {
        if (entry.address == ip)
            return entry.name;
    }
    return std::nullopt;
}

std::optional<QString> nwInterface(const QString& name)
{
    if (!os::interfaceUp(name))
        return std::nullopt;
    return name;
}

} // namespace core::Tailscale
