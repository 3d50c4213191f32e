// What other programs put before the application list: the text of a desktop entry (first byte
// even), matched against a window whose WM_CLASS, application id and program come from the same
// input; or a window's _NET_WM_ICON property (first byte odd), picked at a size and turned into
// the PNG sent to the phone.
#include "Apps.h"
#include "linux/DesktopEntries.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace core;

namespace {

void entry(const QByteArray& bytes)
{
    // The window's names follow the entry after a NUL, separated by NULs.
    const QList<QByteArray> parts = bytes.split('\0');
    const std::optional<Apps::DesktopEntry> e = os::DesktopEntries::fromText(parts.value(0), QStringLiteral("x.desktop"));
    if (!e)
        return;
    TopWindow w;
    w.wmInstance = QString::fromUtf8(parts.value(1));
    w.wmClass = QString::fromUtf8(parts.value(2));
    w.appId = QString::fromUtf8(parts.value(3));
    w.executable = QString::fromUtf8(parts.value(4));
    const std::vector<Apps::DesktopEntry> entries{*e};
    if (const Apps::DesktopEntry* m = Apps::match(w, entries); m && m->id != e->id)
        std::abort();
    if (Apps::installed(entries).size() != 1)
        std::abort();
    os::DesktopEntries::iconFile(e->icon);
}

void icon(uint8_t edge, const uint8_t* data, size_t size)
{
    std::vector<quint32> property(size / 4);
    if (!property.empty())
        std::memcpy(property.data(), data, property.size() * 4);
    const std::optional<IconPixels> picked = Apps::pickIcon(property, edge);
    if (!picked)
        return;
    if (picked->width <= 0 || picked->height <= 0
        || picked->argb.size() != size_t(picked->width) * size_t(picked->height))
        std::abort();
    Apps::iconPng(Apps::toImage(*picked));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    if (data[0] & 1)
        icon(data[1], data + 2, size - 2);
    else
        entry(QByteArray(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1)));
    return 0;
}
