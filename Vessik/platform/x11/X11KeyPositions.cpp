#include "platform/x11/X11KeyPositions.h"

#include <array>
#include <memory>
#include <utility>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon-x11.h>

#include "platform/x11/X11.h"

namespace {

// The positions of the ANSI virtual key codes of the key-name table.
constexpr std::array<std::pair<std::int32_t, const char*>, 48> kPositions{{
    {122, "FK01"}, {120, "FK02"}, {99, "FK03"},  {118, "FK04"}, {96, "FK05"}, {97, "FK06"}, {98, "FK07"}, {100, "FK08"},
    {101, "FK09"}, {109, "FK10"}, {103, "FK11"}, {111, "FK12"}, {18, "AE01"}, {19, "AE02"}, {20, "AE03"}, {21, "AE04"},
    {23, "AE05"},  {22, "AE06"},  {26, "AE07"},  {28, "AE08"},  {25, "AE09"}, {29, "AE10"}, {12, "AD01"}, {13, "AD02"},
    {14, "AD03"},  {15, "AD04"},  {17, "AD05"},  {16, "AD06"},  {32, "AD07"}, {34, "AD08"}, {31, "AD09"}, {35, "AD10"},
    {0, "AC01"},   {1, "AC02"},   {2, "AC03"},   {3, "AC04"},   {5, "AC05"},  {4, "AC06"},  {38, "AC07"}, {40, "AC08"},
    {37, "AC09"},  {6, "AB01"},   {7, "AB02"},   {8, "AB03"},   {9, "AB04"},  {11, "AB05"}, {45, "AB06"}, {46, "AB07"},
}};

struct XkbContextFree {
    void operator()(xkb_context* p) const noexcept { xkb_context_unref(p); }
};
struct XkbKeymapFree {
    void operator()(xkb_keymap* p) const noexcept { xkb_keymap_unref(p); }
};

// The modifier bit whose modifier-map row holds a key that produces Num_Lock.
std::uint16_t findNumLockMask(xcb_connection_t* c, xkb_keymap* keymap) {
    XcbReply<xcb_get_modifier_mapping_reply_t> map(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!map) {
        return 0;
    }
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
    const int perModifier = map->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < perModifier; ++i) {
            const xcb_keycode_t code = codes[modifier * perModifier + i];
            if (code == 0) {
                continue;
            }
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms);
            for (int s = 0; s < count; ++s) {
                if (syms[s] == XKB_KEY_Num_Lock) {
                    return static_cast<std::uint16_t>(1U << modifier);
                }
            }
        }
    }
    return 0;
}

} // namespace

const char* xkbKeyNameOfKeyCode(std::int32_t keyCode) {
    for (const auto& [code, name] : kPositions) {
        if (code == keyCode) {
            return name;
        }
    }
    return nullptr;
}

std::optional<X11KeyPositions> X11KeyPositions::load(xcb_connection_t* c) {
    if (c == nullptr ||
        xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr) != 1) {
        return std::nullopt;
    }
    const std::int32_t device = xkb_x11_get_core_keyboard_device_id(c);
    if (device < 0) {
        return std::nullopt;
    }
    std::unique_ptr<xkb_context, XkbContextFree> context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context) {
        return std::nullopt;
    }
    std::unique_ptr<xkb_keymap, XkbKeymapFree> keymap(
        xkb_x11_keymap_new_from_device(context.get(), c, device, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        return std::nullopt;
    }
    X11KeyPositions positions;
    for (const auto& [code, name] : kPositions) {
        const xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap.get(), name);
        // X keycodes are 8 to 255; XKB may name keys beyond what the core protocol can grab.
        if (keycode != XKB_KEYCODE_INVALID && keycode >= 8 && keycode <= 255) {
            positions.keycodes_[code] = static_cast<xcb_keycode_t>(keycode);
        }
    }
    positions.numLockMask_ = findNumLockMask(c, keymap.get());
    return positions;
}

std::optional<xcb_keycode_t> X11KeyPositions::keycode(std::int32_t keyCode) const {
    const auto it = keycodes_.find(keyCode);
    if (it == keycodes_.end()) {
        return std::nullopt;
    }
    return it->second;
}
