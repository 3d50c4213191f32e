#include "Auth.h"

namespace core::Auth {

bool decide(const Whois& peer, const QString& owner, qint64 selfNodeID)
{
    return peer.login.compare(owner, Qt::CaseInsensitive) == 0 && peer.nodeID != selfNodeID;
}

} // namespace core::Auth
