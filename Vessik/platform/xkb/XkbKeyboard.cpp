#include "platform/xkb/XkbKeyboard.h"

#include <array>
#include <cstdlib>
#include <utility>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <QtGui/QKeyEvent>

namespace {

struct ContextUnref {
    void operator()(xkb_context* p) const { xkb_context_unref(p); }
};
struct KeymapUnref {
    void operator()(xkb_keymap* p) const { xkb_keymap_unref(p); }
};
struct StateUnref {
    void operator()(xkb_state* p) const { xkb_state_unref(p); }
};
struct ComposeTableUnref {
    void operator()(xkb_compose_table* p) const { xkb_compose_table_unref(p); }
};
struct ComposeStateUnref {
    void operator()(xkb_compose_state* p) const { xkb_compose_state_unref(p); }
};

// Keys without text that the lock window knows, by keysym.
constexpr std::array<std::pair<xkb_keysym_t, int>, 30> kSpecialKeys{{
    {XKB_KEY_Return, Qt::Key_Return},
    {XKB_KEY_KP_Enter, Qt::Key_Enter},
    {XKB_KEY_BackSpace, Qt::Key_Backspace},
    {XKB_KEY_Delete, Qt::Key_Delete},
    {XKB_KEY_KP_Delete, Qt::Key_Delete},
    {XKB_KEY_Left, Qt::Key_Left},
    {XKB_KEY_KP_Left, Qt::Key_Left},
    {XKB_KEY_Right, Qt::Key_Right},
    {XKB_KEY_KP_Right, Qt::Key_Right},
    {XKB_KEY_Up, Qt::Key_Up},
    {XKB_KEY_Down, Qt::Key_Down},
    {XKB_KEY_Home, Qt::Key_Home},
    {XKB_KEY_KP_Home, Qt::Key_Home},
    {XKB_KEY_End, Qt::Key_End},
    {XKB_KEY_KP_End, Qt::Key_End},
    {XKB_KEY_Escape, Qt::Key_Escape},
    {XKB_KEY_Tab, Qt::Key_Tab},
    {XKB_KEY_ISO_Left_Tab, Qt::Key_Backtab},
    {XKB_KEY_Insert, Qt::Key_Insert},
    {XKB_KEY_Shift_L, Qt::Key_Shift},
    {XKB_KEY_Shift_R, Qt::Key_Shift},
    {XKB_KEY_Control_L, Qt::Key_Control},
    {XKB_KEY_Control_R, Qt::Key_Control},
    {XKB_KEY_Alt_L, Qt::Key_Alt},
    {XKB_KEY_Alt_R, Qt::Key_Alt},
    {XKB_KEY_Super_L, Qt::Key_Meta},
    {XKB_KEY_Super_R, Qt::Key_Meta},
    {XKB_KEY_Caps_Lock, Qt::Key_CapsLock},
    {XKB_KEY_Num_Lock, Qt::Key_NumLock},
    {XKB_KEY_Menu, Qt::Key_Menu},
}};

// Qt's key code for `keysym`, which typed `text`.
int qtKey(xkb_keysym_t keysym, const QString& text) {
    for (const auto& [sym, key] : kSpecialKeys) {
        if (sym == keysym) {
            return key;
        }
    }
    if (keysym >= XKB_KEY_F1 && keysym <= XKB_KEY_F35) {
        return Qt::Key_F1 + static_cast<int>(keysym - XKB_KEY_F1);
    }
    if (text.size() == 1) {
        return QChar(text.front()).toUpper().unicode(); // Qt's codes of characters are their capitals
    }
    return Qt::Key_unknown;
}

// The locale whose compose table applies, as the C library would choose it.
const char* composeLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return "C";
}

} // namespace

struct XkbKeyboard::Handles {
    std::unique_ptr<xkb_context, ContextUnref> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS)};
    std::unique_ptr<xkb_keymap, KeymapUnref> keymap;
    std::unique_ptr<xkb_state, StateUnref> state;
    std::unique_ptr<xkb_compose_table, ComposeTableUnref> composeTable;
    std::unique_ptr<xkb_compose_state, ComposeStateUnref> compose;
    bool composeLoaded = false;
};

XkbKeyboard::XkbKeyboard() : h_(std::make_unique<Handles>()) {}

XkbKeyboard::~XkbKeyboard() = default;

xkb_context* XkbKeyboard::context() const {
    return h_->context.get();
}

xkb_keymap* XkbKeyboard::keymap() const {
    return h_->keymap.get();
}

void XkbKeyboard::setKeymap(xkb_keymap* keymap) {
    h_->state.reset();
    h_->keymap.reset(keymap);
    if (keymap != nullptr) {
        h_->state.reset(xkb_state_new(keymap));
    }
    if (h_->compose) {
        xkb_compose_state_reset(h_->compose.get());
    }
}

void XkbKeyboard::updateState(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked,
                              std::uint32_t layout) {
    if (h_->state) {
        xkb_state_update_mask(h_->state.get(), depressed, latched, locked, 0, 0, layout);
    }
}

std::unique_ptr<QKeyEvent> XkbKeyboard::keyEvent(bool press, std::uint32_t keycode, bool autoRepeat) {
    xkb_state* state = h_->state.get();
    if (state == nullptr) {
        return nullptr;
    }
    const xkb_keysym_t keysym = xkb_state_key_get_one_sym(state, keycode);
    char buffer[64] = {};
    xkb_state_key_get_utf8(state, keycode, buffer, sizeof buffer);
    QString text = QString::fromUtf8(buffer);
    if (press) {
        if (!h_->composeLoaded) { // the table is large: read it when the first key needs it
            h_->composeLoaded = true;
            h_->composeTable.reset(
                xkb_compose_table_new_from_locale(h_->context.get(), composeLocale(), XKB_COMPOSE_COMPILE_NO_FLAGS));
            if (h_->composeTable) {
                h_->compose.reset(xkb_compose_state_new(h_->composeTable.get(), XKB_COMPOSE_STATE_NO_FLAGS));
            }
        }
        if (h_->compose && xkb_compose_state_feed(h_->compose.get(), keysym) == XKB_COMPOSE_FEED_ACCEPTED) {
            switch (xkb_compose_state_get_status(h_->compose.get())) {
            case XKB_COMPOSE_COMPOSING:
                return nullptr;
            case XKB_COMPOSE_COMPOSED: {
                char composed[64] = {};
                xkb_compose_state_get_utf8(h_->compose.get(), composed, sizeof composed);
                text = QString::fromUtf8(composed);
                xkb_compose_state_reset(h_->compose.get());
                break;
            }
            case XKB_COMPOSE_CANCELLED:
                xkb_compose_state_reset(h_->compose.get());
                return nullptr;
            case XKB_COMPOSE_NOTHING:
                break;
            }
        }
    }
    Qt::KeyboardModifiers modifiers;
    const std::pair<const char*, Qt::KeyboardModifier> names[] = {{XKB_MOD_NAME_SHIFT, Qt::ShiftModifier},
                                                                  {XKB_MOD_NAME_CTRL, Qt::ControlModifier},
                                                                  {XKB_MOD_NAME_ALT, Qt::AltModifier},
                                                                  {XKB_MOD_NAME_LOGO, Qt::MetaModifier}};
    for (const auto& [name, modifier] : names) {
        if (xkb_state_mod_name_is_active(state, name, XKB_STATE_MODS_EFFECTIVE) > 0) {
            modifiers |= modifier;
        }
    }
    if (keysym >= XKB_KEY_KP_Space && keysym <= XKB_KEY_KP_9) {
        modifiers |= Qt::KeypadModifier;
    }
    auto event = std::make_unique<QKeyEvent>(press ? QEvent::KeyPress : QEvent::KeyRelease, qtKey(keysym, text),
                                             modifiers, keycode, keysym, 0, text, autoRepeat);
    ::explicit_bzero(buffer, sizeof buffer);
    return event;
}

KeyboardState XkbKeyboard::keyboardState() const {
    return keyboardState(h_->state.get());
}

KeyboardState XkbKeyboard::keyboardState(xkb_state* state) const {
    KeyboardState out;
    xkb_keymap* keymap = h_->keymap.get();
    if (state == nullptr || keymap == nullptr) {
        return out;
    }
    out.capsLock = xkb_state_mod_name_is_active(state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) > 0;
    out.shiftLock = xkb_state_mod_name_is_active(state, XKB_MOD_NAME_SHIFT, XKB_STATE_MODS_LOCKED) > 0;
    out.layouts = static_cast<int>(xkb_keymap_num_layouts(keymap));
    const char* name =
        xkb_keymap_layout_get_name(keymap, xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
    out.layout = name != nullptr ? QString::fromUtf8(name) : QString();
    return out;
}
