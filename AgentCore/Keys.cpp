#include "Keys.h"

#include "InputInjector.h"

#include <QTimer>

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>

namespace core::Keys {

namespace {

struct Entry {
    std::uint16_t code;
    KeySym keysym;
};

// Mac virtual key codes (ANSI layout, function keys, navigation, keypad, JIS extras).
constexpr std::array kTable{
    Entry{0, XKB_KEY_a}, Entry{1, XKB_KEY_s}, Entry{2, XKB_KEY_d}, Entry{3, XKB_KEY_f},
    Entry{4, XKB_KEY_h}, Entry{5, XKB_KEY_g}, Entry{6, XKB_KEY_z}, Entry{7, XKB_KEY_x},
    Entry{8, XKB_KEY_c}, Entry{9, XKB_KEY_v}, Entry{10, XKB_KEY_section}, Entry{11, XKB_KEY_b},
    Entry{12, XKB_KEY_q}, Entry{13, XKB_KEY_w}, Entry{14, XKB_KEY_e}, Entry{15, XKB_KEY_r},
    Entry{16, XKB_KEY_y}, Entry{17, XKB_KEY_t}, Entry{18, XKB_KEY_1}, Entry{19, XKB_KEY_2},
    Entry{20, XKB_KEY_3}, Entry{21, XKB_KEY_4}, Entry{22, XKB_KEY_6}, Entry{23, XKB_KEY_5},
    Entry{24, XKB_KEY_equal}, Entry{25, XKB_KEY_9}, Entry{26, XKB_KEY_7}, Entry{27, XKB_KEY_minus},
    Entry{28, XKB_KEY_8}, Entry{29, XKB_KEY_0}, Entry{30, XKB_KEY_bracketright}, Entry{31, XKB_KEY_o},
    Entry{32, XKB_KEY_u}, Entry{33, XKB_KEY_bracketleft}, Entry{34, XKB_KEY_i}, Entry{35, XKB_KEY_p},
    Entry{36, XKB_KEY_Return}, Entry{37, XKB_KEY_l}, Entry{38, XKB_KEY_j}, Entry{39, XKB_KEY_apostrophe},
    Entry{40, XKB_KEY_k}, Entry{41, XKB_KEY_semicolon}, Entry{42, XKB_KEY_backslash},
    Entry{43, XKB_KEY_comma}, Entry{44, XKB_KEY_slash}, Entry{45, XKB_KEY_n}, Entry{46, XKB_KEY_m},
    Entry{47, XKB_KEY_period}, Entry{48, XKB_KEY_Tab}, Entry{49, XKB_KEY_space}, Entry{50, XKB_KEY_grave},
    Entry{51, XKB_KEY_BackSpace}, Entry{53, XKB_KEY_Escape}, Entry{54, XKB_KEY_Control_R},
    Entry{55, XKB_KEY_Control_L}, Entry{56, XKB_KEY_Shift_L}, Entry{57, XKB_KEY_Caps_Lock},
    Entry{58, XKB_KEY_Alt_L}, Entry{59, XKB_KEY_Control_L}, Entry{60, XKB_KEY_Shift_R},
    Entry{61, XKB_KEY_Alt_R}, Entry{62, XKB_KEY_Control_R}, Entry{64, XKB_KEY_F17},
    Entry{65, XKB_KEY_KP_Decimal}, Entry{67, XKB_KEY_KP_Multiply}, Entry{69, XKB_KEY_KP_Add},
    Entry{71, XKB_KEY_Clear}, Entry{72, XKB_KEY_XF86AudioRaiseVolume},
    Entry{73, XKB_KEY_XF86AudioLowerVolume}, Entry{74, XKB_KEY_XF86AudioMute},
    Entry{75, XKB_KEY_KP_Divide}, Entry{76, XKB_KEY_KP_Enter}, Entry{78, XKB_KEY_KP_Subtract},
    Entry{79, XKB_KEY_F18}, Entry{80, XKB_KEY_F19}, Entry{81, XKB_KEY_KP_Equal}, Entry{82, XKB_KEY_KP_0},
    Entry{83, XKB_KEY_KP_1}, Entry{84, XKB_KEY_KP_2}, Entry{85, XKB_KEY_KP_3}, Entry{86, XKB_KEY_KP_4},
    Entry{87, XKB_KEY_KP_5}, Entry{88, XKB_KEY_KP_6}, Entry{89, XKB_KEY_KP_7}, Entry{90, XKB_KEY_F20},
    Entry{91, XKB_KEY_KP_8}, Entry{92, XKB_KEY_KP_9}, Entry{93, XKB_KEY_yen}, Entry{94, XKB_KEY_underscore},
    Entry{95, XKB_KEY_KP_Separator}, Entry{96, XKB_KEY_F5}, Entry{97, XKB_KEY_F6}, Entry{98, XKB_KEY_F7},
    Entry{99, XKB_KEY_F3}, Entry{100, XKB_KEY_F8}, Entry{101, XKB_KEY_F9}, Entry{102, XKB_KEY_Eisu_toggle},
    Entry{103, XKB_KEY_F11}, Entry{104, XKB_KEY_Hiragana_Katakana}, Entry{105, XKB_KEY_F13},
    Entry{106, XKB_KEY_F16}, Entry{107, XKB_KEY_F14}, Entry{109, XKB_KEY_F10}, Entry{110, XKB_KEY_Menu},
    Entry{111, XKB_KEY_F12}, Entry{113, XKB_KEY_F15}, Entry{114, XKB_KEY_Insert}, Entry{115, XKB_KEY_Home},
    Entry{116, XKB_KEY_Prior}, Entry{117, XKB_KEY_Delete}, Entry{118, XKB_KEY_F4}, Entry{119, XKB_KEY_End},
    Entry{120, XKB_KEY_F2}, Entry{121, XKB_KEY_Next}, Entry{122, XKB_KEY_F1}, Entry{123, XKB_KEY_Left},
    Entry{124, XKB_KEY_Right}, Entry{125, XKB_KEY_Down}, Entry{126, XKB_KEY_Up},
};

// How long a keymap change made for one stroke stays before it is put back, so that clients
// reading the map after the stroke still find the key.
constexpr std::chrono::milliseconds kRestoreAfter{500};

void postSteps(std::unique_ptr<InputInjector> input, const std::vector<Step>& steps)
{
    const std::shared_ptr<InputInjector> x = std::move(input);
    if (!x)
        return;
    std::vector<KeySym> syms;
    for (const Step& s : steps)
        syms.push_back(s.keysym);
    if (!x->prepare(syms, InputInjector::Clock::now(), false))
        return;
    // Caps Lock and the layout group must not change the stroke, except a stroke that changes them.
    const bool neutral = std::none_of(syms.begin(), syms.end(), changesLocks);
    if (neutral)
        x->beginNeutral();
    for (const Step& s : steps)
        x->key(s.keysym, s.press);
    x->endNeutral();
    x->sync();
    if (x->remapped())
        QTimer::singleShot(kRestoreAfter, [x] {}); // the connection and its remaps end with the last copy
}

} // namespace

const std::vector<Modifier>& modifiers()
{
    static const std::vector<Modifier> table{
        {"ctrl", 59, XKB_KEY_Control_L},
        {"alt", 58, XKB_KEY_Alt_L},
        {"shift", 56, XKB_KEY_Shift_L},
        {"cmd", 55, XKB_KEY_Control_L},
    };
    return table;
}

std::optional<KeySym> keysym(std::uint16_t code)
{
    const auto it = std::find_if(kTable.begin(), kTable.end(), [code](const Entry& e) { return e.code == code; });
    if (it == kTable.end())
        return std::nullopt;
    return it->keysym;
}

std::vector<Step> stroke(KeySym key, const QStringList& mods)
{
    std::vector<KeySym> pressed;
    for (const Modifier& m : modifiers()) {
        if (mods.contains(QLatin1String(m.name)) && std::find(pressed.begin(), pressed.end(), m.keysym) == pressed.end())
            pressed.push_back(m.keysym);
    }
    std::vector<Step> steps;
    for (KeySym m : pressed)
        steps.push_back({m, true});
    steps.push_back({key, true});
    steps.push_back({key, false});
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it)
        steps.push_back({*it, false});
    return steps;
}

qsizetype chunkLength(QStringView text, qsizetype from, int units)
{
    qsizetype n = std::min<qsizetype>(std::max(units, 1), text.size() - from);
    // A pair is one character: a chunk of one unit takes it whole rather than split it.
    if (n > 0 && from + n < text.size() && text.at(from + n - 1).isHighSurrogate())
        n += n > 1 ? -1 : 1;
    return std::max<qsizetype>(n, 0);
}

bool changesLocks(KeySym key)
{
    return key == XKB_KEY_Caps_Lock || key == XKB_KEY_Shift_Lock || key == XKB_KEY_Num_Lock
        || (key >= XKB_KEY_ISO_Lock && key <= XKB_KEY_ISO_Level5_Lock);
}

std::optional<KeySym> keysymFor(char32_t codePoint)
{
    if (codePoint == U'\n' || codePoint == U'\r')
        return XKB_KEY_Return;
    if (codePoint == U'\t')
        return XKB_KEY_Tab;
    const KeySym sym = xkb_utf32_to_keysym(codePoint);
    if (sym == XKB_KEY_NoSymbol)
        return std::nullopt;
    return sym;
}

void post(std::unique_ptr<InputInjector> input, std::uint16_t code, const QStringList& mods)
{
    if (const std::optional<KeySym> sym = keysym(code))
        postSteps(std::move(input), stroke(*sym, mods));
}

void postKeysym(std::unique_ptr<InputInjector> input, KeySym key, const QStringList& mods)
{
    postSteps(std::move(input), stroke(key, mods));
}

} // namespace core::Keys
