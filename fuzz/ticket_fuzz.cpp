// Access tickets against a fixed key (the development pair in tests/keys). A forged token only
// reaches the outer layers, so half the inputs are signed here first: the first byte picks the
// form, and for signed ones a newline parts the header JSON from the claims JSON. The rest of
// the check then sees claims the key vouches for.
#include "Ticket.h"
#include "TicketMint.h"

#include <QFile>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace core;

namespace {

QByteArray readFile(const char* path)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    return file.readAll();
}

struct Fixed {
    SigningKey signer = SigningKey::fromPem(readFile(KEYS_DIR "/t1-dev-private.pem"));
    Ticket::Keys keys{{QStringLiteral("t1"), Ticket::publicKey(readFile(KEYS_DIR "/t1-dev-public.pem"))}};
};

const Fixed& fixed()
{
    static const Fixed f;
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const QString owner = QStringLiteral("owner-1");
    const QString mac = QStringLiteral("mac-1");
    const double now = 1.9e9;
    QString token;
    if (data[0] & 1) {
        const qsizetype cut = rest.indexOf('\n');
        const QByteArray header = cut < 0 ? rest : rest.left(cut);
        const QByteArray claims = cut < 0 ? QByteArray() : rest.mid(cut + 1);
        const QByteArray input = base64url(header) + '.' + base64url(claims);
        token = QString::fromLatin1(input + '.' + base64url(fixed().signer.sign(input)));
    } else {
        token = QString::fromUtf8(rest);
    }
    (void)Ticket::check(token, owner, mac, now, fixed().keys);
    return 0;
}
