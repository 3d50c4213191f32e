#include "QrImage.h"

#include <qrencode.h>

#include <memory>

namespace ui {

namespace {
constexpr int kModule = 8;
constexpr int kQuiet = 4;
using QrPtr = std::unique_ptr<QRcode, decltype(&QRcode_free)>;
} // namespace

QImage qrImage(const QUrl& url)
{
    const QByteArray text = url.toString(QUrl::FullyEncoded).toUtf8();
    const QrPtr code(QRcode_encodeString8bit(text.constData(), 0, QR_ECLEVEL_M), &QRcode_free);
    if (!code)
        return {};
    const int modules = code->width + 2 * kQuiet;
    QImage image(modules * kModule, modules * kModule, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            // Bit 0 of each byte is the module's colour (1 = dark); the rest is encoder bookkeeping.
            if (!(code->data[y * code->width + x] & 1))
                continue;
            for (int dy = 0; dy < kModule; ++dy) {
                uchar* row = image.scanLine((y + kQuiet) * kModule + dy) + (x + kQuiet) * kModule;
                std::fill(row, row + kModule, uchar(0));
            }
        }
    }
    return image;
}

} // namespace ui
