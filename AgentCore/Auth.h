#pragma once

#include "Identity.h"

namespace core::Auth {

// Connection-level admission by Tailscale identity: the peer is signed in as `owner` (ASCII letter
// case aside) and is not this computer's own node. Pure.
bool decide(const Whois& peer, const QString& owner, qint64 selfNodeID);

} // namespace core::Auth
