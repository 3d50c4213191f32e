#include "Auth.h"

namespace core::Auth {

namespace {

// Letter case of ASCII only: Unicode case folding would let "\u017F" pass for "s" and the Kelvin
// sign for "k", i.e. other accounts' logins for the owner's.
bool sameLogin(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x >= u'A' && x <= u'Z')
            x = x - u'A' + u'a';
        if (y >= u'A' && y <= u'Z')
            y = y - u'A' + u'a';
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

bool decide(const Whois& peer, const QString& owner, qint64 selfNodeID)
{
    return sameLogin(peer.login, owner) && peer.nodeID != selfNodeID;
}

} // namespace core::Auth
