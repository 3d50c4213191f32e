#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace core::mutter {

// What an XKB keymap lets Mutter type: it types a keysym only when a key of the current layout
// carries it on one of the four levels that Shift and AltGr reach, and silently drops any other.
class KeymapKeys {
public:
    using KeySym = std::uint32_t;

    // From a keymap's text (as a Wayland compositor sends it); none when it does not compile.
    static std::optional<KeymapKeys> fromText(std::string_view text);

    // The keysym that types what `sym` types in `layout`: `sym` itself when a key carries it, else
    // another keysym of the same character (a layout may carry "ж" as the Unicode keysym rather
    // than the legacy one); none when no key of the layout types it. With no layout (or one the
    // keymap lacks), any layout's keys count.
    std::optional<KeySym> typeable(KeySym sym, std::optional<std::uint32_t> layout) const;

private:
    struct Layout {
        std::unordered_set<KeySym> syms;
        std::unordered_map<char32_t, KeySym> chars;
    };
    std::vector<Layout> layouts_;
};

} // namespace core::mutter
