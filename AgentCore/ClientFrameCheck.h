#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace core {

// Follows the frame headers of a WebSocket client's byte stream, piece by piece, to tell whether
// every frame is masked (RFC 6455 section 5.1: a server closes with 1002 when one is not). Offsets
// count bytes from the start of the connection. Pure.
class ClientFrameCheck {
public:
    // `start`: where the first frame begins (right after the opening handshake).
    explicit ClientFrameCheck(qint64 start)
        : at_(start)
    {
    }

    // The next piece to look at: its offset and length.
    qint64 at() const { return at_; }
    int need() const { return need_; }

    // Takes the `need()` bytes at `at()`; false when they show an unmasked frame.
    bool take(const QByteArray& piece);

private:
    qint64 at_;
    int need_ = 2; // a header's first two bytes, then 0, 2 or 8 bytes of extended length
    bool header_ = true;
};

} // namespace core
