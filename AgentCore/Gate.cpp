#include "Gate.h"

#include <openssl/crypto.h>

namespace core::Gate {

bool sameCode(const QString& a, const QString& b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    if (x.size() != y.size())
        return false;
    return CRYPTO_memcmp(x.constData(), y.constData(), static_cast<size_t>(x.size())) == 0;
}

Result decide(const std::optional<QString>& ticket, const std::optional<QString>& pairCode, bool live,
              const std::optional<Linked>& linked, const std::optional<QString>& shownCode, bool dev,
              std::optional<Device::State> device, const QDateTime& now, const Ticket::Keys& keys)
{
    if (dev || live)
        return Result::admit();
    if (device == Device::State::disabled)
        return Result::close(Close::disabled);
    if (pairCode && shownCode && sameCode(pairCode->toUpper(), *shownCode))
        return Result::admit();
    if (!linked)
        return Result::close(Close::notPaired);
    if (device == Device::State::removed)
        return Result::close(Close::removed);
    if (!ticket)
        return Result::close(Close::signIn);
    switch (Ticket::check(*ticket, linked->owner, linked->macId, Ticket::seconds(now), keys)) {
    case Ticket::Verdict::valid:
        return Result::admit();
    case Ticket::Verdict::expired:
        return Result::close(Close::expired);
    case Ticket::Verdict::invalid:
        break;
    }
    return Result::close(Close::signIn);
}

bool CodeGuesses::barred(const QString& peer, const std::optional<QString>& pairCode,
                         const std::optional<QString>& shownCode)
{
    if (shownCode != code_) {
        code_ = shownCode;
        wrong_.clear();
    }
    if (!code_)
        return false;
    int& wrong = wrong_[peer];
    if (wrong >= kMaxWrong)
        return true;
    if (pairCode && !sameCode(pairCode->toUpper(), *code_))
        ++wrong;
    return false;
}

} // namespace core::Gate
