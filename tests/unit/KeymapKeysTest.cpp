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

TEST(KeymapKeys, OnlyTheFirstFourLevelsOfEveryKeyAreTyped)
{
    // Two keys, the second the keymap's last keycode; the first has six levels, of which Mutter
    // reaches the first four (Shift, AltGr, both).
    const std::string sixLevels = R"(xkb_keymap {
  xkb_keycodes { minimum = 8; maximum = 10; <AC01> = 9; <AC02> = 10; };
  xkb_types {
    virtual_modifiers LevelThree,LevelFive;
    type "ONE_LEVEL" { modifiers = none; level_name[Level1] = "Any"; };
    type "SIX_LEVEL" {
      modifiers = Shift+Mod3+Mod5;
      map[Shift] = Level2; map[Mod5] = Level3; map[Shift+Mod5] = Level4;
      map[Mod3] = Level5; map[Shift+Mod3] = Level6;
      level_name[Level1] = "1"; level_name[Level2] = "2"; level_name[Level3] = "3";
      level_name[Level4] = "4"; level_name[Level5] = "5"; level_name[Level6] = "6";
    };
  };
  xkb_compatibility { };
  xkb_symbols {
    key <AC01> { type = "SIX_LEVEL", [ a, A, x, X, Greek_alpha, Greek_ALPHA ] };
    key <AC02> { type = "ONE_LEVEL", [ b ] };
  };
};)";
    const std::optional<KeymapKeys> keys = KeymapKeys::fromText(sixLevels);
    ASSERT_TRUE(keys);
    const struct {
        const char* name;
        KeymapKeys::KeySym sym;
        std::optional<KeymapKeys::KeySym> want;
    } rows[] = {
        {"fourth level", XKB_KEY_X, XKB_KEY_X},
        {"fifth level", XKB_KEY_Greek_alpha, std::nullopt},
        {"sixth level", XKB_KEY_Greek_ALPHA, std::nullopt},
        {"the last keycode", XKB_KEY_b, XKB_KEY_b},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(keys->typeable(row.sym, std::nullopt), row.want);
    }
}
