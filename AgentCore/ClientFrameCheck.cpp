#include "ClientFrameCheck.h"

#include <limits>

namespace core {

namespace {

constexpr int kMaskKey = 4;

// Offsets past any real stream (the message limit closes such frames first) stay put rather than wrap.
qint64 advance(qint64 at, quint64 by)
{
    const quint64 room = static_cast<quint64>(std::numeric_limits<qint64>::max() - at);
    return by >= room ? std::numeric_limits<qint64>::max() : at + static_cast<qint64>(by);
}

} // namespace

bool ClientFrameCheck::take(const QByteArray& piece)
{
    if (header_) {
        const auto second = static_cast<quint8>(piece.at(1));
        if (!(second & 0x80))
            return false;
        const int length = second & 0x7f;
        if (length < 126) {
            at_ = advance(at_, 2 + kMaskKey + length);
            return true;
        }
        at_ += 2;
        need_ = length == 126 ? 2 : 8;
        header_ = false;
        return true;
    }
    quint64 length = 0;
    for (const char byte : piece)
        length = (length << 8) | static_cast<quint8>(byte);
    at_ = advance(advance(at_, static_cast<quint64>(need_) + kMaskKey), length);
    need_ = 2;
    header_ = true;
    return true;
}

} // namespace core
