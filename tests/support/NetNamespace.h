#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A network namespace joined to this host by a veth pair whose host end is named like a Tailscale
// interface ("tailscale" + digits) and whose addresses lie in 100.64.0.0/10: the namespace plays a
// phone on the tailnet, and with its second address another device. Names and addresses are unique per process and instance. Both ends and the
// namespace are removed on destruction, also when the test failed. Needs root.
class NetNamespace {
public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    // Empty when everything was set up; otherwise what failed.
    const QString& error() const { return error_; }

    const QString& name() const { return name_; }
    const QString& hostInterface() const { return hostIf_; }
    const QString& hostAddress() const { return hostIp_; }
    const QString& peerAddress() const { return peerIp_; }
    // A second address of the namespace's end: another device on the same link.
    const QString& otherPeerAddress() const { return otherPeerIp_; }
    // A second address the host end may take.
    const QString& otherHostAddress() const { return otherHostIp_; }

    // The host end's address (a /29 shared with the peer) and link state.
    bool addHostAddress() { return addHostAddress(hostIp_); }
    bool removeHostAddress() { return removeHostAddress(hostIp_); }
    bool addHostAddress(const QString& address);
    bool removeHostAddress(const QString& address);
    bool setHostLink(bool up);

    // While it lives, sockets the current thread creates belong to the namespace (so a client in
    // this process can be the phone). Other threads and processes started meanwhile are not moved.
    class Inside {
    public:
        explicit Inside(const NetNamespace& ns);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
        bool ok() const { return ok_; }

    private:
        int home_ = -1;
        bool ok_ = false;
    };

    // Runs a program inside the namespace to its end and answers its standard output.
    QByteArray exec(const QStringList& argv, int timeoutMs = 30000);

private:
    bool ip(const QStringList& args);

    QString name_;
    QString hostIf_;
    QString peerIf_;
    QString hostIp_;
    QString peerIp_;
    QString otherPeerIp_;
    QString otherHostIp_;
    QString error_;
};
