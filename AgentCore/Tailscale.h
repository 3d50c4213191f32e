#pragma once

#include "Identity.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QObject;

namespace core {

// Blocking queries about this host's Tailscale network. Each may wait for a child process: call
// them on a worker thread, never on the main thread. Calls are independent and may run concurrently.
namespace Tailscale {

// Runs `tailscale` (found on the search path) with `args` and answers its standard output. Throws
// AgentError "tailscale <args> exited <status>" for a non-zero status, AgentError "tailscale <args>
// wrote too much" when the output passes `kMaxOutput` bytes, AgentError "tailscale <args> timed
// out" after `kTimeoutMs`, and std::system_error when the program cannot be started.
QByteArray run(const QStringList& args);
inline constexpr qsizetype kMaxOutput = 1024 * 1024;
inline constexpr int kTimeoutMs = 10000;

// This host's Tailscale IPv4 address as `tailscale ip -4` gives it, trimmed. Throws "tailscale has
// no IPv4 address" for empty output, and whatever `run` throws.
QString ipv4();
// The same, absent for empty output (Tailscale answered: it has no address).
std::optional<QString> ipv4IfAny();

// The identity behind an address, from `tailscale whois --json <target>`. Throws whatever `run`
// throws, and json::DecodeError when the output is not the expected JSON.
Whois whois(const QString& target);

// What an asynchronous whois found: the identity, or why there is none. `local` tells a failure
// of this computer (the program could not be started) from an answer about the peer.
struct WhoisResult {
    std::optional<Whois> whois;
    QString failure;
    bool local = false;
};

// `whois` without blocking, for the main thread: `done` runs from the event loop once, unless the
// returned object is destroyed first, which also kills the run. A run that outlives `kTimeoutMs`
// is killed and counts as failed ("whois timed out").
std::unique_ptr<QObject> whoisAsync(const QString& target, std::function<void(const WhoisResult&)> done);

// Decodes the JSON of `tailscale whois --json`: "Node" {"ID", "StableID", "Name"} and
// "UserProfile" {"LoginName"}; other members are ignored. One trailing "." leaves the DNS name.
// Throws json::DecodeError.
Whois decodeWhois(const QByteArray& json);

// The name of the first interface carrying exactly this IPv4 address text. Throws
// std::system_error when the interface list cannot be read.
std::optional<QString> interfaceName(const QString& ip);

// The interface a listener can be pinned to, when one of that name exists and is up: its name,
// which is what SO_BINDTODEVICE takes. Absent otherwise. Does not block; throws as
// `interfaceName` does.
std::optional<QString> nwInterface(const QString& name);

} // namespace Tailscale

} // namespace core
