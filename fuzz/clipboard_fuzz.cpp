// Clipboard payloads from both sides. Even first bytes: a "clipboard.set" message from the phone,
// whose png must be strict base64 (what is accepted encodes back to the very same text). Odd
// first bytes: what another application put on the desktop's clipboard under one format, which
// is read (images converted to PNG) to be offered to the phone, and never over its cap.
#include "Clipboard.h"
#include "ClipboardWatcher.h"
#include "Log.h"
#include "Protocol.h"

#include <QCoreApplication>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace core;

namespace {

const std::array<const char*, 8> formats = {
    Clipboard::textFormat, "image/png", "image/tiff", "image/bmp", "image/x-bmp", "image/jpeg",
    "x-kde-passwordManagerHint", "org.nspasteboard.ConcealedType",
};

void fromPhone(const QByteArray& message)
{
    std::optional<ClipboardParam> param;
    try {
        param = Wire::decode<ClipboardParam>(message);
    } catch (const AgentError&) {
        return;
    }
    try {
        const Clip clip = Clip::fromParam(*param);
        if (!param->text && clip.bytes.toBase64() != param->png->toLatin1())
            std::abort();
    } catch (const AgentError&) {
    }
}

void fromDesktop(uint8_t selector, const QByteArray& bytes)
{
    MemoryClipboard clipboard;
    std::map<QString, QByteArray> content{{QLatin1String(formats[selector % formats.size()]), bytes}};
    // A second format beside it (the first 16 bytes), so mixed offers are tried too.
    if (selector & 0x40)
        content.emplace(QLatin1String(formats[(selector >> 3) % formats.size()]), bytes.left(16));
    clipboard.copy(std::move(content));
    const std::optional<Clip> clip = Clip::read(clipboard);
    if (clip && !clip->fits())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The image readers for TIFF and JPEG are plugins, found through the application.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    if (data[0] & 1)
        fromDesktop(static_cast<uint8_t>(data[0] >> 1), rest);
    else
        fromPhone(rest);
    return 0;
}
