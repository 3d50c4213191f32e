#include "XMonitors.h"

#include "XConnection.h"

#include <xcb/randr.h>

#include <QByteArray>

#include <algorithm>
#include <charconv>

namespace core::x11 {

namespace {

std::optional<double> screenScale(const Connection& x)
{
    const auto cookie = xcb_get_property(x.get(), 0, x.root(), XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0,
                                         1 << 20);
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(x.get(), cookie, nullptr));
    if (!reply || reply->format != 8)
        return std::nullopt;
    const auto* text = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const auto dpi = xftDpi(std::string_view(text, size_t(xcb_get_property_value_length(reply.get()))));
    if (!dpi || *dpi <= 0)
        return std::nullopt;
    return *dpi / 96.0;
}

QString outputProductName(const Connection& x, xcb_randr_output_t output, xcb_atom_t edidAtom)
{
    const auto cookie = xcb_randr_get_output_property(x.get(), output, edidAtom, XCB_ATOM_ANY, 0, 128 / 4, 0, 0);
    Reply<xcb_randr_get_output_property_reply_t> reply(
        xcb_randr_get_output_property_reply(x.get(), cookie, nullptr));
    if (!reply || reply->format != 8)
        return {};
    const auto* data = reinterpret_cast<const char*>(xcb_randr_get_output_property_data(reply.get()));
    return edidProductName(std::string_view(data, size_t(xcb_randr_get_output_property_data_length(reply.get()))));
}

bool hasMonitors(const Connection& x)
{
    if (x.firstEvent(&xcb_randr_id) < 0)
        return false;
    Reply<xcb_randr_query_version_reply_t> v(
        xcb_randr_query_version_reply(x.get(), xcb_randr_query_version(x.get(), 1, 5), nullptr));
    return v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 5));
}

} // namespace

std::vector<DisplayInfo> monitors(const Connection& x)
{
    std::vector<DisplayInfo> result;
    if (!hasMonitors(x))
        return result;
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(x.get(), xcb_randr_get_monitors(x.get(), x.root(), 1), nullptr));
    if (!reply)
        return result;

    const double scale = screenScale(x).value_or(1.0);
    const xcb_atom_t edidAtom = x.atom("EDID", true);
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        DisplayInfo d;
        d.id = m->name;
        const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(m);
        const int count = xcb_randr_monitor_info_outputs_length(m);
        for (int i = 0; i < count && d.name.isEmpty() && edidAtom != XCB_ATOM_NONE; ++i)
            d.name = outputProductName(x, outputs[i], edidAtom);
        if (d.name.isEmpty())
            d.name = QString::fromStdString(x.atomName(m->name));
        if (d.name.isEmpty())
            d.name = QStringLiteral("Display ") + QString::number(d.id);
        d.x = m->x;
        d.y = m->y;
        d.width = m->width;
        d.height = m->height;
        d.isMain = m->primary != 0;
        d.scale = scale;
        result.push_back(d);
    }
    return withOneMain(withoutMirrors(std::move(result)));
}

std::vector<DisplayInfo> withoutMirrors(std::vector<DisplayInfo> displays)
{
    std::vector<DisplayInfo> kept;
    for (DisplayInfo& d : displays) {
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const DisplayInfo& k) {
            return k.x == d.x && k.y == d.y && k.width == d.width && k.height == d.height;
        });
        if (same == kept.end())
            kept.push_back(std::move(d));
        else if (d.isMain)
            *same = std::move(d);
    }
    return kept;
}

std::vector<DisplayInfo> withOneMain(std::vector<DisplayInfo> displays)
{
    if (displays.empty() || std::any_of(displays.begin(), displays.end(), [](const DisplayInfo& d) { return d.isMain; }))
        return displays;
    // Plain Xvfb and many single-monitor sessions name no primary output; the phone still needs
    // one main display to open first.
    const auto origin = std::find_if(displays.begin(), displays.end(),
                                     [](const DisplayInfo& d) { return d.x == 0 && d.y == 0; });
    (origin != displays.end() ? *origin : displays.front()).isMain = true;
    return displays;
}

std::optional<DisplayInfo> monitor(const Connection& x, uint32_t id)
{
    for (const DisplayInfo& d : monitors(x)) {
        if (d.id == id)
            return d;
    }
    return std::nullopt;
}

QString edidProductName(std::string_view edid)
{
    // Four 18-byte descriptors follow the fixed header; a display descriptor starts with 0 0 0 and
    // carries its tag in byte 3. Text ends at a line feed and is padded with spaces.
    constexpr size_t kFirst = 54, kSize = 18;
    for (size_t at = kFirst; at + kSize <= edid.size() && at < 128; at += kSize) {
        const std::string_view d = edid.substr(at, kSize);
        if (d[0] != 0 || d[1] != 0 || d[2] != 0 || uint8_t(d[3]) != 0xFC)
            continue;
        std::string_view text = d.substr(5);
        text = text.substr(0, text.find('\n'));
        return QString::fromLatin1(text.data(), qsizetype(text.size())).trimmed();
    }
    return {};
}

std::optional<double> xftDpi(std::string_view resources)
{
    constexpr std::string_view kKey = "Xft.dpi:";
    size_t line = 0;
    while (line < resources.size()) {
        size_t end = resources.find('\n', line);
        if (end == std::string_view::npos)
            end = resources.size();
        std::string_view l = resources.substr(line, end - line);
        if (l.substr(0, kKey.size()) == kKey) {
            l.remove_prefix(kKey.size());
            while (!l.empty() && (l.front() == ' ' || l.front() == '\t'))
                l.remove_prefix(1);
            double value = 0;
            const auto [ptr, ec] = std::from_chars(l.data(), l.data() + l.size(), value);
            if (ec == std::errc() && ptr != l.data())
                return value;
            return std::nullopt;
        }
        line = end + 1;
    }
    return std::nullopt;
}

} // namespace core::x11
