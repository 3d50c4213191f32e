#pragma once

#include <QImage>
#include <QUrl>

namespace ui {

// The URL as a QR code (correction level M), each module 8 x 8 pixels, with the standard quiet
// zone of 4 modules kept white around it. Null when the text cannot be encoded.
QImage qrImage(const QUrl& url);

} // namespace ui
