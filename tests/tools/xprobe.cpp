// A second X client for the X11 tests: it looks at the display the way another
// program would, and reports on standard output.
//
//   xprobe grab-keyboard      try to grab the keyboard; prints the grab status
//   xprobe grab-pointer       try to grab the pointer; prints the grab status
//   xprobe hold-keyboard      grab the keyboard, print "held", keep it until stdin closes
//   xprobe map-window X Y W H map a red override-redirect window there, print its id,
//                             keep it until stdin closes
//   xprobe top-window X Y     print the id and WM_CLASS class of the topmost viewable
//                             top-level window at that point ("none" when there is none);
//                             a window inside the composite overlay window, which lies
//                             above all others, comes first
//   xprobe list               print the id and class of each viewable child of the
//                             composite overlay window, then of the root, top first
//   xprobe own-selection TEXT own CLIPBOARD and PRIMARY holding TEXT, print "owned", hand
//                             TEXT to whoever asks until stdin closes
//   xprobe unmap WINDOW       unmap, destroy, or move and resize another client's window
//   xprobe destroy WINDOW
//   xprobe configure WINDOW X Y W H
//   xprobe child WINDOW X Y W H
//                             map a red window inside WINDOW, print its id, keep it until
//                             stdin closes
//   xprobe reparent WINDOW    move WINDOW into an unmapped window of xprobe's own, print
//                             that window's id, keep it until stdin closes
//   xprobe close WINDOW       send it WM_DELETE_WINDOW, as a window manager's close does
//   xprobe sniff WINDOW       select key events on another client's window, print
//                             "listening", and when stdin closes, how many it got
//   xprobe pixel X Y          print the colour of the screen at that point as "R G B"
//   xprobe bright X Y W H     print how many pixels of that rectangle are near white
//   xprobe grab-key KEY MODS  try a passive grab of a key on the root; prints 0 when
//                             granted (and lets go of it), else the X error code
//                             (10 = BadAccess: another client holds that combination)
//   xprobe hold-key KEY MODS  grab a key like another program's hotkey; prints "held"
//                             or "refused" and keeps the grab until stdin closes
//   xprobe xi-hold-key KEY MODS [DEVICE]
//                             the same as an XInput2 passive grab (DEVICE: "all",
//                             "master" (default) or a device id)
//   xprobe press KEYS         press KEYS with XTEST and release them in reverse order
//   xprobe move               move the pointer by one pixel with XTEST (user input)
//   xprobe click BUTTON X Y   move the pointer to X Y and click BUTTON (2: middle) with XTEST
//   xprobe delivered KEYS     focus a window of its own, press KEYS with XTEST and print
//                             "yes" when the last key reached that window, "no" when
//                             another client's grab took it (nothing is grabbed here),
//                             "lost" when a window mapped meanwhile took the focus
//   xprobe time-to-grab SECONDS [KEYS]
//                             press KEYS (or, without KEYS, move the pointer) with
//                             XTEST, then try to grab the keyboard until another
//                             client holds it; prints the seconds that took, or
//                             "timeout" after SECONDS
//   xprobe wait-held SECONDS  the same without any input of its own; prints the
//                             CLOCK_MONOTONIC time, in seconds, at which it first
//                             found the keyboard held, or "timeout"
//   xprobe idle               print the server's milliseconds since the last input
//   xprobe raise-loop SECONDS X Y W H
//                             map a red override-redirect window there and raise it as
//                             fast as the server takes it, for SECONDS; print "raised N"
//   xprobe sample SECONDS X Y R G B
//                             look at the colour at X Y about every millisecond for
//                             SECONDS; print "matched N of M" (how often it was R G B)
//   xprobe paint-overlay      take the composite overlay window, print "painting",
//                             fill it red again and again until stdin closes
//   xprobe fill-clients WINDOW...
//                             open connections until the server refuses one (its
//                             client table full), close the connections of the
//                             clients of WINDOW... (KillClient), print "full N", take
//                             every place that comes free until stdin closes
//   xprobe send-keys WINDOW TEXT
//                             send WINDOW key presses and releases that type TEXT and
//                             Return, as events of this client's own (SendEvent)
//   xprobe send-chord WINDOW KEYS
//                             send WINDOW a press and release of the last of KEYS with
//                             the others held as modifiers, with SendEvent
//   xprobe lock-modifiers MODS  lock exactly MODS ("none": unlock all) through XKB, as a
//                             Shift Lock key would
//   xprobe lock-group N       lock the keyboard's layout to the Nth (from 0) through XKB
//   xprobe selection-owner NAME
//                             print the owner of the selection NAME, or "none"
//   xprobe watch SECONDS X Y [X Y...]
//                             print "watching", then for SECONDS, about every
//                             millisecond, try to grab the keyboard and the pointer
//                             (letting go at once), ask for the topmost window at each
//                             point (the mapped top-level window the server finds
//                             there) and for the colour at the first one; then print
//                             one line for each time one of them was not held by
//                             another client or a point showed a window whose class
//                             is not "Vessik" ("T keyboard", "T pointer",
//                             "T uncovered X Y CLASS"), one for each change of that
//                             colour ("T colour R G B"), T in seconds since the
//                             start, and last "polls N"
//
// KEY is an XKB key name (AC01 is the key of "A" on a US keyboard, whatever the
// layout); KEYS joins key names with "+" (LFSH+LCTL+LALT+AC09). MODS joins
// shift, lock, control, mod1..mod5 with "+", or is "none" or "any".
// Grab statuses: 0 Success, 1 AlreadyGrabbed, 2 InvalidTime, 3 NotViewable, 4 Frozen.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <xcb/composite.h>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>
// xkb.h names a member "explicit", a keyword of C++.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

int grabKeyboard(xcb_connection_t* c, xcb_window_t root) {
    Reply<xcb_grab_keyboard_reply_t> r(xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr));
    return r ? r->status : -1;
}

int grabPointer(xcb_connection_t* c, xcb_window_t root) {
    Reply<xcb_grab_pointer_reply_t> r(
        xcb_grab_pointer_reply(c,
                               xcb_grab_pointer(c, 0, root, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                                                XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                               nullptr));
    return r ? r->status : -1;
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "xprobe: %s\n", message.c_str());
    std::exit(2);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

xcb_keycode_t keycodeOf(xcb_connection_t* c, const std::string& name) {
    if (xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr) != 1) {
        fail("no XKB extension");
    }
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap =
        xkb_x11_keymap_new_from_device(context, c, xkb_x11_get_core_keyboard_device_id(c), XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap == nullptr) {
        fail("cannot read the keymap");
    }
    const xkb_keycode_t code = xkb_keymap_key_by_name(keymap, name.c_str());
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    if (code == XKB_KEYCODE_INVALID || code > 255) {
        fail("unknown key name " + name);
    }
    return static_cast<xcb_keycode_t>(code);
}

std::uint16_t modifiersOf(const std::string& text) {
    if (text == "none") {
        return 0;
    }
    if (text == "any") {
        return XCB_MOD_MASK_ANY;
    }
    static const std::pair<const char*, std::uint16_t> names[] = {
        {"shift", XCB_MOD_MASK_SHIFT}, {"lock", XCB_MOD_MASK_LOCK}, {"control", XCB_MOD_MASK_CONTROL},
        {"mod1", XCB_MOD_MASK_1},      {"mod2", XCB_MOD_MASK_2},    {"mod3", XCB_MOD_MASK_3},
        {"mod4", XCB_MOD_MASK_4},      {"mod5", XCB_MOD_MASK_5},
    };
    std::uint16_t mask = 0;
    for (const std::string& part : split(text, '+')) {
        bool known = false;
        for (const auto& [name, bit] : names) {
            if (part == name) {
                mask |= bit;
                known = true;
            }
        }
        if (!known) {
            fail("unknown modifier " + part);
        }
    }
    return mask;
}

// Passive core grab; returns 0 or the X error code.
int grabKey(xcb_connection_t* c, xcb_window_t root, xcb_keycode_t key, std::uint16_t mods) {
    Reply<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_grab_key_checked(c, 0, root, mods, key, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
    return error ? error->error_code : 0;
}

// Passive XInput2 grab; returns true when granted for every asked modifier set.
bool xiGrabKey(xcb_connection_t* c, xcb_window_t root, xcb_keycode_t key, std::uint32_t mods,
               xcb_input_device_id_t device) {
    Reply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2) {
        fail("no XInput 2");
    }
    const std::uint32_t mask = XCB_INPUT_XI_EVENT_MASK_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_KEY_RELEASE;
    Reply<xcb_input_xi_passive_grab_device_reply_t> reply(xcb_input_xi_passive_grab_device_reply(
        c,
        xcb_input_xi_passive_grab_device(c, XCB_CURRENT_TIME, root, XCB_NONE, key, device, 1, 1,
                                         XCB_INPUT_GRAB_TYPE_KEYCODE, XCB_INPUT_GRAB_MODE_22_ASYNC,
                                         XCB_INPUT_GRAB_MODE_22_ASYNC, 0, &mask, &mods),
        nullptr));
    return reply && reply->num_modifiers == 0;
}

void sync(xcb_connection_t* c) {
    Reply<xcb_get_input_focus_reply_t> r(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// Presses the keys in order and releases them in reverse, as one chord.
void press(xcb_connection_t* c, xcb_window_t root, const std::string& keys) {
    std::vector<xcb_keycode_t> codes;
    for (const std::string& name : split(keys, '+')) {
        codes.push_back(keycodeOf(c, name));
    }
    for (const xcb_keycode_t code : codes) {
        xcb_test_fake_input(c, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, root, 0, 0, 0);
    }
    for (auto it = codes.rbegin(); it != codes.rend(); ++it) {
        xcb_test_fake_input(c, XCB_KEY_RELEASE, *it, XCB_CURRENT_TIME, root, 0, 0, 0);
    }
    sync(c);
}

void move(xcb_connection_t* c, xcb_window_t root) {
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 1, XCB_CURRENT_TIME, root, 1, 0, 0); // relative, one pixel right
    sync(c);
}

// Whether the last of `keys` reached a focused window of ours. A plain key
// pressed after the chord marks the end (events arrive in order); nothing when
// the focus went elsewhere before that key came (a window mapped meanwhile).
std::optional<bool> delivered(xcb_connection_t* c, const xcb_screen_t* screen, const std::string& keys) {
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS}; // override-redirect, key presses
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, window);
    sync(c);
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
    sync(c);
    const xcb_keycode_t key = keycodeOf(c, split(keys, '+').back());
    const xcb_keycode_t marker = keycodeOf(c, "AB10"); // not a hotkey key of anyone's here
    press(c, screen->root, keys);
    press(c, screen->root, "AB10");
    bool reached = false;
    std::optional<bool> result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!result && xcb_connection_has_error(c) == 0) {
        Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)};
        if (!event) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) == 0) {
                break;
            }
            continue;
        }
        if ((event->response_type & 0x7F) == XCB_KEY_PRESS) {
            const auto* e = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
            reached = reached || e->detail == key;
            if (e->detail == marker) {
                result = reached;
            }
        }
    }
    xcb_destroy_window(c, window);
    return result;
}

// Tries to grab the keyboard (and lets go at once) every `pause` until another
// client holds it: the moment that was first seen, or nothing after `timeout` seconds.
std::optional<std::chrono::steady_clock::time_point> waitUntilHeld(xcb_connection_t* c, xcb_window_t root,
                                                                   double timeout, std::chrono::milliseconds pause) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (grabKeyboard(c, root) != 0) {
            return now;
        }
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
        sync(c);
        if (std::chrono::duration<double>(now - start).count() > timeout) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(pause);
    }
}

void waitForStdinToClose() {
    char buf[64];
    while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
}

xcb_window_t mapWindow(xcb_connection_t* c, const xcb_screen_t* screen, int x, int y, int w, int h) {
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {0xff0000, 1}; // red (TrueColor), override-redirect
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    static constexpr char kClass[] = "xprobe\0XProbe";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof kClass, kClass);
    xcb_map_window(c, window);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); // a round trip: it is mapped now
    return window;
}

xcb_get_property_cookie_t askClass(xcb_connection_t* c, xcb_window_t w) {
    return xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256);
}

// The class part of WM_CLASS ("instance\0class\0") that `cookie` asked for: "-"
// when the window has none, nothing when the window is gone.
std::optional<std::string> windowClass(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, cookie, &error));
    Reply<xcb_generic_error_t> gone(error);
    if (!r) {
        return gone ? std::nullopt : std::optional<std::string>("-");
    }
    const char* data = static_cast<const char*>(xcb_get_property_value(r.get()));
    const std::string value(data, static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
    const std::size_t nul = value.find('\0');
    if (nul == std::string::npos || nul + 1 >= value.size()) {
        return "-";
    }
    return value.substr(nul + 1, value.find('\0', nul + 1) - nul - 1);
}

std::string windowClass(xcb_connection_t* c, xcb_window_t w) {
    return windowClass(c, askClass(c, w)).value_or("-");
}

// The composite overlay window of `root`, with a reference of this client's
// own (it lies above every window of the root, and a lock's windows may live in
// it); XCB_NONE without Composite. releaseOverlay gives the reference back.
xcb_window_t takeOverlay(xcb_connection_t* c, xcb_window_t root) {
    const xcb_query_extension_reply_t* composite = xcb_get_extension_data(c, &xcb_composite_id);
    if (composite == nullptr || !composite->present) {
        return XCB_NONE;
    }
    Reply<xcb_composite_query_version_reply_t> version(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    Reply<xcb_composite_get_overlay_window_reply_t> overlay(
        xcb_composite_get_overlay_window_reply(c, xcb_composite_get_overlay_window(c, root), nullptr));
    return overlay ? overlay->overlay_win : XCB_NONE;
}

void releaseOverlay(xcb_connection_t* c, xcb_window_t root, xcb_window_t overlay) {
    if (overlay != XCB_NONE) {
        xcb_composite_release_overlay_window(c, root);
        xcb_flush(c);
    }
}

// The topmost viewable InputOutput child of `parent` at X Y (root coordinates:
// the parent is the root or the overlay, both at 0 0), or XCB_NONE.
xcb_window_t topChild(xcb_connection_t* c, xcb_window_t parent, int x, int y) {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr));
    const xcb_window_t* children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
    for (int i = tree ? xcb_query_tree_children_length(tree.get()) - 1 : -1; i >= 0; --i) { // top first
        Reply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
        Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
        if (!a || !g || a->map_state != XCB_MAP_STATE_VIEWABLE || a->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
            continue;
        }
        if (x >= g->x && y >= g->y && x < g->x + g->width && y < g->y + g->height) {
            return children[i];
        }
    }
    return XCB_NONE;
}

void printTopWindow(xcb_connection_t* c, xcb_window_t root, int x, int y) {
    const xcb_window_t overlay = takeOverlay(c, root);
    xcb_window_t top = overlay != XCB_NONE ? topChild(c, overlay, x, y) : XCB_NONE;
    if (top == XCB_NONE) {
        top = topChild(c, root, x, y);
    }
    releaseOverlay(c, root, overlay);
    if (top == XCB_NONE) {
        std::printf("none\n");
    } else {
        std::printf("0x%x %s\n", top, windowClass(c, top).c_str());
    }
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// Owns CLIPBOARD and PRIMARY and answers every request for them with `text`
// (as UTF8_STRING, STRING, TEXT or text/plain, and TARGETS) until stdin closes.
void ownSelection(xcb_connection_t* c, const xcb_screen_t* screen, const std::string& text) {
    const xcb_window_t owner = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, owner, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t selections[] = {atom(c, "CLIPBOARD"), XCB_ATOM_PRIMARY};
    const xcb_atom_t targets = atom(c, "TARGETS");
    const xcb_atom_t texts[] = {atom(c, "UTF8_STRING"), XCB_ATOM_STRING, atom(c, "TEXT"), atom(c, "text/plain"),
                                atom(c, "text/plain;charset=utf-8")};
    for (const xcb_atom_t selection : selections) {
        xcb_set_selection_owner(c, owner, selection, XCB_CURRENT_TIME);
    }
    sync(c);
    std::printf("owned\n");
    std::fflush(stdout);
    pollfd fds[] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
            if ((event->response_type & 0x7F) != XCB_SELECTION_REQUEST) {
                continue;
            }
            const auto* request = reinterpret_cast<const xcb_selection_request_event_t*>(event.get());
            xcb_selection_notify_event_t notify{};
            notify.response_type = XCB_SELECTION_NOTIFY;
            notify.time = request->time;
            notify.requestor = request->requestor;
            notify.selection = request->selection;
            notify.target = request->target;
            notify.property = request->property == XCB_ATOM_NONE ? request->target : request->property;
            if (request->target == targets) {
                std::vector<xcb_atom_t> offered(std::begin(texts), std::end(texts));
                offered.push_back(targets);
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, notify.property, XCB_ATOM_ATOM, 32,
                                    static_cast<std::uint32_t>(offered.size()), offered.data());
            } else if (std::find(std::begin(texts), std::end(texts), request->target) != std::end(texts)) {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, notify.property, request->target, 8,
                                    static_cast<std::uint32_t>(text.size()), text.data());
            } else {
                notify.property = XCB_ATOM_NONE;
            }
            xcb_send_event(c, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
            xcb_flush(c);
        }
        if (xcb_connection_has_error(c) != 0 || poll(fds, 2, -1) < 0) {
            return;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buf[64];
            if (read(STDIN_FILENO, buf, sizeof buf) <= 0) {
                return;
            }
        }
    }
}

xcb_window_t windowArgument(const std::string& text) {
    return static_cast<xcb_window_t>(std::strtoul(text.c_str(), nullptr, 0));
}

xcb_get_image_cookie_t askPixel(xcb_connection_t* c, xcb_window_t root, int x, int y) {
    return xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                         1, 1, ~0U);
}

// The colour that `cookie` asked for, as "R G B", or "error".
std::string pixel(xcb_connection_t* c, xcb_get_image_cookie_t cookie) {
    Reply<xcb_get_image_reply_t> r(xcb_get_image_reply(c, cookie, nullptr));
    if (!r || xcb_get_image_data_length(r.get()) < 4) {
        return "error";
    }
    std::uint32_t value = 0;
    std::memcpy(&value, xcb_get_image_data(r.get()), 4); // 24-bit TrueColor, 32 bits a pixel
    return std::to_string((value >> 16) & 0xff) + " " + std::to_string((value >> 8) & 0xff) + " " +
           std::to_string(value & 0xff);
}

struct Point {
    int x;
    int y;
};

// The keycode that types `ch` at the first level of the first layout.
xcb_keycode_t keycodeTyping(xcb_connection_t* c, char32_t ch) {
    keycodeOf(c, "AC01"); // sets XKB up on this connection
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap =
        xkb_x11_keymap_new_from_device(context, c, xkb_x11_get_core_keyboard_device_id(c), XKB_KEYMAP_COMPILE_NO_FLAGS);
    const xkb_keysym_t wanted = ch == '\n' ? XKB_KEY_Return : xkb_utf32_to_keysym(ch);
    xcb_keycode_t found = 0;
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap) && found == 0;
         ++code) {
        const xkb_keysym_t* syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms);
        if (count > 0 && syms[0] == wanted && code <= 255) {
            found = static_cast<xcb_keycode_t>(code);
        }
    }
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    if (found == 0) {
        fail("no key types that character");
    }
    return found;
}

// Sends `window` a key event of this client's own making (the SendEvent flag set).
void sendKey(xcb_connection_t* c, xcb_window_t root, xcb_window_t window, bool press, xcb_keycode_t code,
             std::uint16_t state) {
    xcb_key_press_event_t key{};
    key.response_type = press ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
    key.detail = code;
    key.time = XCB_CURRENT_TIME;
    key.root = root;
    key.event = window;
    key.same_screen = 1;
    key.state = state;
    xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&key));
}

// Opens connections until the server refuses one; closes the clients of
// `victims`; then, until stdin closes, takes every place that comes free, before
// anyone else can (the victims' processes may end and free more). Returns the connections.
std::vector<xcb_connection_t*> fillClients(xcb_connection_t* c, const std::vector<xcb_window_t>& victims) {
    std::vector<xcb_connection_t*> taken;
    auto fill = [&taken] {
        for (;;) {
            xcb_connection_t* more = xcb_connect(nullptr, nullptr);
            if (xcb_connection_has_error(more) != 0) {
                xcb_disconnect(more);
                return;
            }
            taken.push_back(more);
        }
    };
    fill();
    for (const xcb_window_t victim : victims) {
        xcb_kill_client(c, victim);
    }
    xcb_flush(c);
    std::printf("full %zu\n", taken.size());
    std::fflush(stdout);
    pollfd in{STDIN_FILENO, POLLIN, 0};
    do {
        fill();
    } while (poll(&in, 1, 0) == 0);
    return taken;
}

// Locks the keyboard's modifiers `mods`, or its layout `group`, as a key with such an action would.
void lockState(xcb_connection_t* c, std::optional<std::uint8_t> mods, std::optional<std::uint8_t> group) {
    Reply<xcb_xkb_use_extension_reply_t> use(xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
    if (!use || !use->supported) {
        fail("no XKB extension");
    }
    xcb_xkb_latch_lock_state(c, XCB_XKB_ID_USE_CORE_KBD, mods ? 0xff : 0, mods.value_or(0), group.has_value(),
                             group.value_or(0), 0, 0, 0);
    sync(c);
}

// xprobe watch: what another client could get while it polls. Every request of
// a poll goes out before any reply is read.
void watch(xcb_connection_t* c, xcb_window_t root, double seconds, const std::vector<Point>& points) {
    const xcb_window_t overlay = takeOverlay(c, root);
    std::printf("watching\n");
    std::fflush(stdout);
    std::vector<std::string> seen;
    std::string colour;
    long polls = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (t > seconds) {
            break;
        }
        const auto keyboard = xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        const auto pointer = xcb_grab_pointer(c, 0, root, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                                              XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
        // The overlay's child at each point first, then the root's.
        std::vector<xcb_translate_coordinates_cookie_t> tops;
        for (const xcb_window_t parent : {overlay, root}) {
            for (const Point& p : points) {
                if (parent != XCB_NONE) {
                    tops.push_back(xcb_translate_coordinates(c, parent, parent, static_cast<std::int16_t>(p.x),
                                                             static_cast<std::int16_t>(p.y)));
                }
            }
        }
        const auto shown = askPixel(c, root, points.front().x, points.front().y);
        char time[32];
        std::snprintf(time, sizeof time, "%.4f ", t);
        if (Reply<xcb_grab_keyboard_reply_t> k(xcb_grab_keyboard_reply(c, keyboard, nullptr));
            k && k->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
            seen.push_back(time + std::string("keyboard"));
        }
        if (Reply<xcb_grab_pointer_reply_t> p(xcb_grab_pointer_reply(c, pointer, nullptr));
            p && p->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
            seen.push_back(time + std::string("pointer"));
        }
        std::vector<xcb_window_t> windows(points.size(), XCB_NONE);
        for (std::size_t i = 0; i < tops.size(); ++i) {
            Reply<xcb_translate_coordinates_reply_t> r(xcb_translate_coordinates_reply(c, tops[i], nullptr));
            xcb_window_t& window = windows[i % points.size()];
            window = window == XCB_NONE && r ? r->child : window;
        }
        std::vector<xcb_get_property_cookie_t> classes;
        for (const xcb_window_t window : windows) {
            if (window != XCB_NONE) {
                classes.push_back(askClass(c, window));
            }
        }
        auto next = classes.begin();
        for (std::size_t i = 0; i < points.size(); ++i) {
            // A window that is gone by now was on top when asked: the next poll tells.
            const std::optional<std::string> name = windows[i] == XCB_NONE ? "none" : windowClass(c, *next++);
            if (name && *name != "Vessik") {
                seen.push_back(time + std::string("uncovered ") + std::to_string(points[i].x) + " " +
                               std::to_string(points[i].y) + " " + *name);
            }
        }
        if (std::string now = pixel(c, shown); now != colour) {
            colour = now;
            seen.push_back(time + std::string("colour ") + colour);
        }
        ++polls;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    releaseOverlay(c, root, overlay);
    for (const std::string& line : seen) {
        std::printf("%s\n", line.c_str());
    }
    std::printf("polls %ld\n", polls);
}

// Pixels of the rectangle whose three channels are all above 200 (white text).
void printBright(xcb_connection_t* c, xcb_window_t root, int x, int y, int w, int h) {
    Reply<xcb_get_image_reply_t> r(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), ~0U),
        nullptr));
    if (!r) {
        std::printf("error\n");
        return;
    }
    const std::uint8_t* data = xcb_get_image_data(r.get());
    const int length = xcb_get_image_data_length(r.get());
    int bright = 0;
    for (int i = 0; i + 4 <= length; i += 4) {
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, data + i, 4);
        bright += ((pixel >> 16) & 0xff) > 200 && ((pixel >> 8) & 0xff) > 200 && (pixel & 0xff) > 200 ? 1 : 0;
    }
    std::printf("%d\n", bright);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: xprobe COMMAND [ARGS] (see the source)\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "xprobe: cannot connect to the X server\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t root = screen->root;
    const std::string cmd = argv[1];
    auto arg = [&](int i) -> std::string {
        if (i >= argc) {
            fail("missing argument for " + cmd);
        }
        return argv[i];
    };
    auto number = [&](int i) { return std::atoi(arg(i).c_str()); };
    int rc = 0;
    if (cmd == "grab-keyboard") {
        const int status = grabKeyboard(c, root);
        std::printf("%d\n", status);
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    } else if (cmd == "grab-pointer") {
        const int status = grabPointer(c, root);
        std::printf("%d\n", status);
        xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
    } else if (cmd == "hold-keyboard") {
        const int status = grabKeyboard(c, root);
        std::printf("%s\n", status == 0 ? "held" : "refused");
        std::fflush(stdout);
        waitForStdinToClose();
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    } else if (cmd == "map-window") {
        std::printf("0x%x\n", mapWindow(c, screen, number(2), number(3), number(4), number(5)));
        std::fflush(stdout);
        waitForStdinToClose();
    } else if (cmd == "own-selection") {
        ownSelection(c, screen, arg(2));
    } else if (cmd == "unmap") {
        xcb_unmap_window(c, windowArgument(arg(2)));
        sync(c);
    } else if (cmd == "destroy") {
        xcb_destroy_window(c, windowArgument(arg(2)));
        sync(c);
    } else if (cmd == "configure") {
        const std::uint32_t values[] = {static_cast<std::uint32_t>(number(3)), static_cast<std::uint32_t>(number(4)),
                                        static_cast<std::uint32_t>(number(5)), static_cast<std::uint32_t>(number(6))};
        xcb_configure_window(
            c, windowArgument(arg(2)),
            XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
        sync(c);
    } else if (cmd == "child") {
        const xcb_window_t child = xcb_generate_id(c);
        const std::uint32_t values[] = {0xff0000};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, child, windowArgument(arg(2)), static_cast<std::int16_t>(number(3)),
                          static_cast<std::int16_t>(number(4)), static_cast<std::uint16_t>(number(5)),
                          static_cast<std::uint16_t>(number(6)), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL, values);
        xcb_map_window(c, child);
        sync(c);
        std::printf("0x%x\n", child);
        std::fflush(stdout);
        waitForStdinToClose();
    } else if (cmd == "reparent") {
        const xcb_window_t parent = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, parent, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_reparent_window(c, windowArgument(arg(2)), parent, 0, 0);
        sync(c);
        std::printf("0x%x\n", parent);
        std::fflush(stdout);
        waitForStdinToClose();
    } else if (cmd == "sniff") {
        const std::uint32_t keys = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
        xcb_change_window_attributes(c, windowArgument(arg(2)), XCB_CW_EVENT_MASK, &keys);
        sync(c);
        std::printf("listening\n");
        std::fflush(stdout);
        waitForStdinToClose();
        int got = 0;
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
            const int type = event->response_type & 0x7F;
            got += type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE ? 1 : 0;
        }
        std::printf("%d\n", got);
    } else if (cmd == "close") {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = windowArgument(arg(2));
        message.type = atom(c, "WM_PROTOCOLS");
        message.data.data32[0] = atom(c, "WM_DELETE_WINDOW");
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, message.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
        sync(c);
    } else if (cmd == "raise-loop") {
        const xcb_window_t window = mapWindow(c, screen, number(3), number(4), number(5), number(6));
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(arg(2).c_str()));
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        long raised = 0;
        while (std::chrono::steady_clock::now() < until) {
            xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            if (++raised % 64 == 0) {
                sync(c); // as fast as the server takes them, not faster
            }
        }
        std::printf("raised %ld\n", raised);
    } else if (cmd == "sample") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::atof(arg(2).c_str()));
        const std::string wanted = arg(5) + " " + arg(6) + " " + arg(7);
        long matched = 0;
        long total = 0;
        while (std::chrono::steady_clock::now() < until) {
            matched += pixel(c, askPixel(c, root, number(3), number(4))) == wanted ? 1 : 0;
            ++total;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        std::printf("matched %ld of %ld\n", matched, total);
    } else if (cmd == "paint-overlay") {
        const xcb_window_t overlay = takeOverlay(c, root);
        if (overlay == XCB_NONE) {
            fail("no composite overlay window");
        }
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const std::uint32_t red = 0xff0000;
        xcb_create_gc(c, gc, overlay, XCB_GC_FOREGROUND, &red);
        const xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
        std::printf("painting\n");
        std::fflush(stdout);
        pollfd in{STDIN_FILENO, POLLIN, 0};
        while (poll(&in, 1, 1) == 0) {
            xcb_poly_fill_rectangle(c, overlay, gc, 1, &all);
            sync(c);
        }
    } else if (cmd == "fill-clients") {
        std::vector<xcb_window_t> victims;
        for (int i = 2; i < argc; ++i) {
            victims.push_back(windowArgument(argv[i]));
        }
        const std::vector<xcb_connection_t*> taken = fillClients(c, victims);
        for (xcb_connection_t* t : taken) {
            xcb_disconnect(t);
        }
    } else if (cmd == "send-keys") {
        const xcb_window_t window = windowArgument(arg(2));
        for (const char ch : arg(3) + "\n") {
            const xcb_keycode_t code = keycodeTyping(c, static_cast<unsigned char>(ch));
            sendKey(c, root, window, true, code, 0);
            sendKey(c, root, window, false, code, 0);
        }
        sync(c);
    } else if (cmd == "send-chord") {
        const xcb_window_t window = windowArgument(arg(2));
        const std::vector<std::string> keys = split(arg(3), '+');
        std::uint16_t state = 0;
        for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
            state |= keys[i] == "LFSH" ? XCB_MOD_MASK_SHIFT : keys[i] == "LCTL" ? XCB_MOD_MASK_CONTROL : XCB_MOD_MASK_1;
        }
        const xcb_keycode_t code = keycodeOf(c, keys.back());
        sendKey(c, root, window, true, code, state);
        sendKey(c, root, window, false, code, state);
        sync(c);
    } else if (cmd == "lock-modifiers") {
        lockState(c, static_cast<std::uint8_t>(modifiersOf(arg(2))), std::nullopt);
    } else if (cmd == "lock-group") {
        lockState(c, std::nullopt, static_cast<std::uint8_t>(number(2)));
    } else if (cmd == "selection-owner") {
        Reply<xcb_get_selection_owner_reply_t> owner(
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom(c, arg(2).c_str())), nullptr));
        owner && owner->owner != XCB_NONE ? std::printf("0x%x\n", owner->owner) : std::printf("none\n");
    } else if (cmd == "list") {
        const xcb_window_t overlay = takeOverlay(c, root);
        for (const xcb_window_t parent : {overlay, root}) {
            Reply<xcb_query_tree_reply_t> tree(
                parent != XCB_NONE ? xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr) : nullptr);
            for (int i = tree ? xcb_query_tree_children_length(tree.get()) - 1 : -1; i >= 0; --i) {
                const xcb_window_t child = xcb_query_tree_children(tree.get())[i];
                Reply<xcb_get_window_attributes_reply_t> a(
                    xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, child), nullptr));
                if (a && a->map_state == XCB_MAP_STATE_VIEWABLE) {
                    std::printf("0x%x %s\n", child, windowClass(c, child).c_str());
                }
            }
        }
        releaseOverlay(c, root, overlay);
    } else if (cmd == "top-window") {
        printTopWindow(c, root, number(2), number(3));
    } else if (cmd == "bright") {
        printBright(c, root, number(2), number(3), number(4), number(5));
    } else if (cmd == "pixel") {
        std::printf("%s\n", pixel(c, askPixel(c, root, number(2), number(3))).c_str());
    } else if (cmd == "grab-key") {
        const xcb_keycode_t key = keycodeOf(c, arg(2));
        const std::uint16_t mods = modifiersOf(arg(3));
        const int error = grabKey(c, root, key, mods);
        std::printf("%d\n", error);
        xcb_ungrab_key(c, key, root, mods);
    } else if (cmd == "hold-key") {
        const xcb_keycode_t key = keycodeOf(c, arg(2));
        const int error = grabKey(c, root, key, modifiersOf(arg(3)));
        std::printf("%s\n", error == 0 ? "held" : "refused");
        std::fflush(stdout);
        waitForStdinToClose();
    } else if (cmd == "xi-hold-key") {
        const xcb_keycode_t key = keycodeOf(c, arg(2));
        const std::uint16_t mods = modifiersOf(arg(3));
        const std::string device = argc > 4 ? argv[4] : "master";
        const auto id = static_cast<xcb_input_device_id_t>(device == "all"      ? XCB_INPUT_DEVICE_ALL
                                                           : device == "master" ? XCB_INPUT_DEVICE_ALL_MASTER
                                                                                : std::atoi(device.c_str()));
        const bool held =
            xiGrabKey(c, root, key, mods == XCB_MOD_MASK_ANY ? std::uint32_t{XCB_INPUT_MODIFIER_MASK_ANY} : mods, id);
        std::printf("%s\n", held ? "held" : "refused");
        std::fflush(stdout);
        waitForStdinToClose();
    } else if (cmd == "press") {
        press(c, root, arg(2));
    } else if (cmd == "move") {
        move(c, root);
    } else if (cmd == "click") {
        const auto button = static_cast<std::uint8_t>(number(2));
        xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<std::int16_t>(number(3)),
                            static_cast<std::int16_t>(number(4)), 0);
        xcb_test_fake_input(c, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, root, 0, 0, 0);
        xcb_test_fake_input(c, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, root, 0, 0, 0);
        sync(c);
    } else if (cmd == "delivered") {
        const std::optional<bool> reached = delivered(c, screen, arg(2));
        std::printf("%s\n", !reached ? "lost" : *reached ? "yes" : "no");
    } else if (cmd == "time-to-grab") {
        const double timeout = std::atof(arg(2).c_str());
        if (argc > 3) {
            press(c, root, argv[3]);
        } else {
            move(c, root);
        }
        const auto start = std::chrono::steady_clock::now();
        if (const auto held = waitUntilHeld(c, root, timeout, std::chrono::milliseconds(1))) {
            std::printf("%.4f\n", std::chrono::duration<double>(*held - start).count());
        } else {
            std::printf("timeout\n");
        }
    } else if (cmd == "wait-held") {
        // Polled more gently: several of these may run at once, for seconds.
        if (const auto held = waitUntilHeld(c, root, std::atof(arg(2).c_str()), std::chrono::milliseconds(5))) {
            std::printf("%.4f\n", std::chrono::duration<double>(held->time_since_epoch()).count());
        } else {
            std::printf("timeout\n");
        }
    } else if (cmd == "watch") {
        std::vector<Point> points;
        for (int i = 3; i + 1 < argc; i += 2) {
            points.push_back({number(i), number(i + 1)});
        }
        if (points.empty()) {
            fail("watch needs a point");
        }
        watch(c, root, std::atof(arg(2).c_str()), points);
    } else if (cmd == "idle") {
        Reply<xcb_screensaver_query_info_reply_t> info(
            xcb_screensaver_query_info_reply(c, xcb_screensaver_query_info(c, root), nullptr));
        if (!info) {
            fail("no MIT-SCREEN-SAVER extension");
        }
        std::printf("%u\n", info->ms_since_user_input);
    } else {
        std::fprintf(stderr, "xprobe: unknown command %s\n", cmd.c_str());
        rc = 2;
    }
    std::fflush(stdout);
    xcb_flush(c);
    xcb_disconnect(c);
    return rc;
}
