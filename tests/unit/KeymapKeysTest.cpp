// Which keysyms a compositor's keymap lets Mutter type, from keymaps compiled by xkbcommon out of
// the system's layouts, as a compositor sends them.
#include "FreeWith.h"
#include "linux/mutter/KeymapKeys.h"

#include <gtest/gtest.h>

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <memory>
#include <string>

using core::FreeWith;
using core::mutter::KeymapKeys;

namespace {

// The text of the keymap of `layouts` ("us,ru"); empty when the layouts are not installed.
std::string keymapText(const char* layouts)
{
    const std::unique_ptr<xkb_context, FreeWith<xkb_context_unref>> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    const xkb_rule_names names{"evdev", "pc105", layouts, "", ""};
    const std::unique_ptr<xkb_keymap, FreeWith<xkb_keymap_unref>> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap)
        return {};
    const std::unique_ptr<char, FreeWith<free>> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1));
    return text.get();
}

} // namespace

TEST(KeymapKeys, AKeysymIsTypedWhereTheLayoutHasIt)
{
    const std::string us = keymapText("us"), usRu = keymapText("us,ru");
    ASSERT_FALSE(us.empty() || usRu.empty()) << "xkb-data is not installed";
    // The US layout with ";" carried as the Unicode keysym of "ж", as a layout of its own may.
    std::string unicode = us;
    const std::string semicolon = "[       semicolon,";
    ASSERT_NE(unicode.find(semicolon), std::string::npos) << "the keymap text changed form";
    unicode.replace(unicode.find(semicolon), semicolon.size(), "[       0x1000436,");

    const struct {
        const char* name;
        const std::string& keymap;
        KeymapKeys::KeySym sym;
        std::optional<std::uint32_t> layout;
        std::optional<KeymapKeys::KeySym> want;
    } rows[] = {
        {"first level", us, XKB_KEY_a, std::nullopt, XKB_KEY_a},
        {"shifted level", us, XKB_KEY_A, std::nullopt, XKB_KEY_A},
        {"a character the layout lacks", us, XKB_KEY_Cyrillic_zhe, std::nullopt, std::nullopt},
        {"its Unicode keysym is lacking too", us, 0x1000436, std::nullopt, std::nullopt},
        {"second layout, current one unknown", usRu, XKB_KEY_Cyrillic_zhe, std::nullopt, XKB_KEY_Cyrillic_zhe},
        {"second layout, first one current", usRu, XKB_KEY_Cyrillic_zhe, 0u, std::nullopt},
        {"second layout current", usRu, XKB_KEY_Cyrillic_zhe, 1u, XKB_KEY_Cyrillic_zhe},
        {"a layout index the keymap lacks", usRu, XKB_KEY_Cyrillic_zhe, 7u, XKB_KEY_Cyrillic_zhe},
        {"legacy keysym typed as the Unicode one the layout carries", unicode, XKB_KEY_Cyrillic_zhe, std::nullopt, 0x1000436},
        {"Unicode keysym typed as the Latin-1 one the layout carries", us, 0x1000061, std::nullopt, XKB_KEY_a},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<KeymapKeys> keys = KeymapKeys::fromText(row.keymap);
        ASSERT_TRUE(keys);
        EXPECT_EQ(keys->typeable(row.sym, row.layout), row.want);
    }
    EXPECT_FALSE(KeymapKeys::fromText("xkb_keymap { not a keymap"));
}
