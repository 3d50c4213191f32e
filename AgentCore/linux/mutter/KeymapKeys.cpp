#include "KeymapKeys.h"

#include "FreeWith.h"

#include <xkbcommon/xkbcommon.h>

#include <memory>

namespace core::mutter {

namespace {

// Mutter presses Shift, AltGr or both for a keysym it finds on the second to fourth level of a
// key, and nothing useful for one it finds higher
// (meta-virtual-input-device-native.c, apply_level_modifiers).
constexpr xkb_level_index_t kTypedLevels = 4;

using ContextPtr = std::unique_ptr<xkb_context, FreeWith<xkb_context_unref>>;
using KeymapPtr = std::unique_ptr<xkb_keymap, FreeWith<xkb_keymap_unref>>;

} // namespace

std::optional<KeymapKeys> KeymapKeys::fromText(std::string_view text)
{
    const ContextPtr context(xkb_context_new(XKB_CONTEXT_NO_DEFAULT_INCLUDES));
    if (!context)
        return std::nullopt;
    const KeymapPtr keymap(xkb_keymap_new_from_buffer(context.get(), text.data(), text.size(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                      XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap)
        return std::nullopt;
    KeymapKeys keys;
    keys.layouts_.resize(xkb_keymap_num_layouts(keymap.get()));
    for (xkb_layout_index_t index = 0; index < keys.layouts_.size(); ++index) {
        Layout& layout = keys.layouts_[index];
        // Mutter takes the first key and level that carries a keysym, in this order; a keysym
        // first found too high is one it cannot type, whatever lower level may carry it later.
        std::unordered_set<KeySym> seen;
        for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get()); code <= xkb_keymap_max_keycode(keymap.get()); ++code) {
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap.get(), code, index);
            for (xkb_level_index_t level = 0; level < levels; ++level) {
                const xkb_keysym_t* syms = nullptr;
                const int count = xkb_keymap_key_get_syms_by_level(keymap.get(), code, index, level, &syms);
                for (int i = 0; i < count; ++i) {
                    if (!seen.insert(syms[i]).second || level >= kTypedLevels)
                        continue;
                    layout.syms.insert(syms[i]);
                    if (const char32_t cp = xkb_keysym_to_utf32(syms[i]))
                        layout.chars.emplace(cp, syms[i]);
                }
            }
        }
    }
    return keys;
}

std::optional<KeymapKeys::KeySym> KeymapKeys::typeable(KeySym sym, std::optional<std::uint32_t> layout) const
{
    const char32_t cp = xkb_keysym_to_utf32(sym);
    const auto in = [&](const Layout& l) -> std::optional<KeySym> {
        if (l.syms.count(sym))
            return sym;
        if (const auto it = l.chars.find(cp); cp && it != l.chars.end())
            return it->second;
        return std::nullopt;
    };
    if (layout && *layout < layouts_.size())
        return in(layouts_[*layout]);
    for (const Layout& l : layouts_) {
        if (const std::optional<KeySym> found = in(l))
            return found;
    }
    return std::nullopt;
}

} // namespace core::mutter
