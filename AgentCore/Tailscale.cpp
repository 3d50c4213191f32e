#include "Tailscale.h"

#include "Json.h"
#include "Log.h"
#include "linux/Interfaces.h"
#include "linux/Process.h"

namespace core::Tailscale {

QByteArray run(const QStringList& args)
{
    std::vector<QByteArray> argv{QByteArrayLiteral("/usr/bin/env"), QByteArrayLiteral("tailscale")};
    for (const QString& a : args)
        argv.push_back(a.toUtf8());
    const os::ProcessOutput out = os::runProcess(argv, kMaxOutput);
    const QString command = QStringLiteral("tailscale ") + args.join(QLatin1Char(' '));
    if (out.overflow)
        throw AgentError(command + QStringLiteral(" wrote too much"));
    if (out.status != 0)
        throw AgentError(command + QStringLiteral(" exited %1").arg(out.status));
    return out.output;
}

QString ipv4()
{
    const QString ip = QString::fromUtf8(run({QStringLiteral("ip"), QStringLiteral("-4")})).trimmed();
    if (ip.isEmpty())
        throw AgentError(QStringLiteral("tailscale has no IPv4 address"));
    return ip;
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
