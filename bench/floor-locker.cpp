// The floor of the lock benchmark: the least an X11 locker can do. On
// Shift+Control+Alt+L it maps one black window over the root, grabs the
// keyboard and the pointer, and waits for PASSWORD and Return; the right
// password gives both back and unmaps the window. Nothing else: no picture, no
// field, no guard, no settings. Vessik's figures are given as ratios to it.
//
//   floor-locker PASSWORD   (lower-case letters)
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>
#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

// The keycode whose first level gives `keysym`.
xcb_keycode_t keycodeOf(xkb_keymap* keymap, xkb_keysym_t keysym) {
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms) > 0 && syms[0] == keysym) {
            return static_cast<xcb_keycode_t>(code);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor-locker PASSWORD\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) != 0 || xkb_x11_setup_xkb_extension(c, 1, 0, XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS,
                                                                        nullptr, nullptr, nullptr, nullptr) != 1) {
        std::fprintf(stderr, "floor-locker: no X display with XKB\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap =
        xkb_x11_keymap_new_from_device(context, c, xkb_x11_get_core_keyboard_device_id(c), XKB_KEYMAP_COMPILE_NO_FLAGS);
    std::vector<xcb_keycode_t> password;
    for (const char ch : std::string(argv[1])) {
        password.push_back(keycodeOf(keymap, static_cast<xkb_keysym_t>(ch)));
    }
    const xcb_keycode_t lockKey = keycodeOf(keymap, XKB_KEY_l);
    const xcb_keycode_t enter = keycodeOf(keymap, XKB_KEY_Return);

    // The cover, made once; the hotkey, grabbed on the root.
    const xcb_window_t cover = xcb_generate_id(c);
    const std::uint32_t values[] = {screen->black_pixel, 1, XCB_EVENT_MASK_KEY_PRESS};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, cover, screen->root, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    const auto chord = static_cast<std::uint16_t>(XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1);
    xcb_grab_key(c, 0, screen->root, chord, lockKey, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    xcb_flush(c);

    bool locked = false;
    std::vector<xcb_keycode_t> typed;
    while (Reply<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
        if ((event->response_type & 0x7f) != XCB_KEY_PRESS) {
            continue;
        }
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        if (!locked && key->detail == lockKey) {
            locked = true;
            typed.clear();
            const std::uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_configure_window(c, cover, XCB_CONFIG_WINDOW_STACK_MODE, &above); // mapped on top
            xcb_map_window(c, cover);
            // Both grabs, asked for until granted.
            for (bool held = false; !held;) {
                Reply<xcb_grab_keyboard_reply_t> k(xcb_grab_keyboard_reply(
                    c, xcb_grab_keyboard(c, 0, cover, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                    nullptr));
                Reply<xcb_grab_pointer_reply_t> p(
                    xcb_grab_pointer_reply(c,
                                           xcb_grab_pointer(c, 0, cover, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                            XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                                           nullptr));
                held = k && k->status == XCB_GRAB_STATUS_SUCCESS && p && p->status == XCB_GRAB_STATUS_SUCCESS;
            }
        } else if (locked && key->detail == enter) {
            if (typed == password) {
                xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
                xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
                xcb_unmap_window(c, cover);
                locked = false;
            }
            typed.clear();
        } else if (locked) {
            typed.push_back(key->detail);
        }
        xcb_flush(c);
    }
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    xcb_disconnect(c);
    return 0;
}
