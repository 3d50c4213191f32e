// A stand-in for the `tailscale` command-line program, for tests. It answers `tailscale ip -4` and
// `tailscale whois --json <address>` from a JSON description of a tailnet named by FAKE_TAILNET:
//
//   {"self": 1,
//    "nodes": [{"id": 1, "stableID": "nMAC", "name": "mac.tail.ts.net.", "login": "me@example.com",
//               "addresses": ["100.64.0.1"]},
//              {"id": 2, "login": "me@example.com", "addresses": ["100.64.0.2"],
//               "whois": "raw text printed instead of the whois JSON"},
//              {"id": 3, "login": "x@example.com", "addresses": ["100.64.0.3"], "whoisHangs": true}],
//    "ipFails": true}
//
// A node with "whoisHangs" makes `whois` for it hang (for two minutes, then fail); "ipFails" makes `ip -4` fail (exit 1)
// although this computer has an address.
// "self" is this computer's node; without an IPv4 address it is "stopped" (exit 1). "stableID" and
// "name" are optional. The file is read anew on every run, so tests change the tailnet by
// rewriting it.
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <optional>
#include <unistd.h>

namespace {

int fail(const QString& message, int status = 1)
{
    std::fputs(qPrintable(message + QLatin1Char('\n')), stderr);
    return status;
}

void print(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

std::optional<QJsonObject> nodeWith(const QJsonArray& nodes, const std::function<bool(const QJsonObject&)>& match)
{
    for (const QJsonValue& v : nodes) {
        if (match(v.toObject()))
            return v.toObject();
    }
    return std::nullopt;
}

QString firstIPv4(const QJsonObject& node)
{
    for (const QJsonValue& a : node.value(QStringLiteral("addresses")).toArray()) {
        if (!a.toString().contains(QLatin1Char(':')))
            return a.toString();
    }
    return {};
}

QByteArray whoisJson(const QJsonObject& node)
{
    QJsonObject n{{QStringLiteral("ID"), node.value(QStringLiteral("id"))},
                  {QStringLiteral("Addresses"), node.value(QStringLiteral("addresses"))},
                  {QStringLiteral("Online"), true}};
    if (node.contains(QStringLiteral("stableID")))
        n.insert(QStringLiteral("StableID"), node.value(QStringLiteral("stableID")));
    if (node.contains(QStringLiteral("name")))
        n.insert(QStringLiteral("Name"), node.value(QStringLiteral("name")));
    const QString login = node.value(QStringLiteral("login")).toString();
    const QJsonObject user{{QStringLiteral("ID"), node.value(QStringLiteral("id"))},
                           {QStringLiteral("LoginName"), login},
                           {QStringLiteral("DisplayName"), login.section(QLatin1Char('@'), 0, 0)}};
    return QJsonDocument(QJsonObject{{QStringLiteral("Node"), n}, {QStringLiteral("UserProfile"), user}})
               .toJson(QJsonDocument::Indented);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    const QString path = qEnvironmentVariable("FAKE_TAILNET");
    if (path.isEmpty())
        return fail(QStringLiteral("FAKE_TAILNET is not set"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read ") + path);
    const QJsonObject tailnet = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonArray nodes = tailnet.value(QStringLiteral("nodes")).toArray();

    if (args == QStringList{QStringLiteral("ip"), QStringLiteral("-4")}) {
        if (tailnet.value(QStringLiteral("ipFails")).toBool())
            return fail(QStringLiteral("failed to connect to local tailscaled"));
        const QJsonValue self = tailnet.value(QStringLiteral("self"));
        const auto me = nodeWith(nodes, [&](const QJsonObject& n) { return n.value(QStringLiteral("id")) == self; });
        const QString ip = me ? firstIPv4(*me) : QString();
        if (ip.isEmpty())
            return fail(QStringLiteral("no current Tailscale IPs; state: Stopped"));
        print(ip.toUtf8() + '\n');
        return 0;
    }

    if (args.size() == 3 && args[0] == QLatin1String("whois") && args[1] == QLatin1String("--json")) {
        const QString target = args[2].section(QLatin1Char(':'), 0, 0);
        const auto node = nodeWith(nodes, [&](const QJsonObject& n) {
            return n.value(QStringLiteral("addresses")).toArray().contains(target);
        });
        if (!node)
            return fail(QStringLiteral("peer not found"));
        if (node->value(QStringLiteral("whoisHangs")).toBool()) {
            // Far longer than any caller waits, but ends by itself should its caller die first.
            ::sleep(120);
            return fail(QStringLiteral("hung"));
        }
        if (node->contains(QStringLiteral("whois")))
            print(node->value(QStringLiteral("whois")).toString().toUtf8());
        else
            print(whoisJson(*node));
        return 0;
    }

    return fail(QStringLiteral("unsupported: tailscale ") + args.join(QLatin1Char(' ')), 2);
}
