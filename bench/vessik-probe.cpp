// The measuring client of the benchmark. It drives a running Vessik with raw
// XTEST events (xdotool would add ~15 ms of start-up per step) and watches the
// display the way another program would: can it grab the keyboard, does a
// window cover the whole screen.
//
//   vessik-probe cycles N PASSWORD
//
// Each cycle presses the lock hotkey (Shift+Control+Alt+L), measures the time
// until this client's keyboard grab is refused and a window covers the screen,
// types PASSWORD, presses Return and measures the time until the keyboard can
// be grabbed again. Prints one line per cycle: "lock_ms unlock_ms".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;
using Clock = std::chrono::steady_clock;

class Probe {
public:
    Probe() : c_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(c_)) {
            std::fprintf(stderr, "vessik-probe: cannot connect to the X server\n");
            std::exit(1);
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        loadKeyboardMapping();
        loadMonitors();
    }
    ~Probe() { xcb_disconnect(c_); }

    xcb_keycode_t keycode(xcb_keysym_t sym) const {
        for (std::size_t i = 0; i < syms_.size(); ++i) {
            if (syms_[i] == sym) {
                return static_cast<xcb_keycode_t>(min_ + i / perCode_);
            }
        }
        std::fprintf(stderr, "vessik-probe: no key for keysym 0x%x\n", sym);
        std::exit(1);
    }

    void key(xcb_keycode_t code, bool press) {
        xcb_test_fake_input(c_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c_);
    }
    void tap(xcb_keycode_t code) {
        key(code, true);
        key(code, false);
    }

    // 0 when this client got the keyboard (it is released at once), else the refusal status.
    int tryGrab() {
        Reply<xcb_grab_keyboard_reply_t> r(xcb_grab_keyboard_reply(
            c_, xcb_grab_keyboard(c_, 0, screen_->root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
            nullptr));
        const int status = r ? r->status : -1;
        if (status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
            xcb_flush(c_);
        }
        return status;
    }

    // Whether every monitor is covered: the topmost viewable top-level window at
    // the monitor's centre spans the whole monitor (the lock window on its own
    // monitor, a shield on each of the others).
    bool covered() {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, screen_->root), nullptr));
        if (!tree) {
            return false;
        }
        struct Rect {
            int x, y, w, h;
        };
        std::vector<Rect> windows; // viewable top-level windows, bottom to top
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int count = xcb_query_tree_children_length(tree.get());
        std::vector<xcb_get_window_attributes_cookie_t> attrCookies;
        std::vector<xcb_get_geometry_cookie_t> geoCookies;
        for (int i = 0; i < count; ++i) {
            attrCookies.push_back(xcb_get_window_attributes(c_, children[i]));
            geoCookies.push_back(xcb_get_geometry(c_, children[i]));
        }
        for (int i = 0; i < count; ++i) {
            Reply<xcb_get_window_attributes_reply_t> attr(xcb_get_window_attributes_reply(c_, attrCookies[i], nullptr));
            Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, geoCookies[i], nullptr));
            if (attr && g && attr->map_state == XCB_MAP_STATE_VIEWABLE) {
                windows.push_back({g->x, g->y, g->width, g->height});
            }
        }
        for (const Monitor& m : monitors_) {
            const int cx = m.x + m.w / 2, cy = m.y + m.h / 2;
            bool ok = false;
            for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
                if (cx >= it->x && cx < it->x + it->w && cy >= it->y && cy < it->y + it->h) {
                    ok = it->x <= m.x && it->y <= m.y && it->x + it->w >= m.x + m.w && it->y + it->h >= m.y + m.h;
                    break;
                }
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

private:
    void loadKeyboardMapping() {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        min_ = setup->min_keycode;
        const int count = setup->max_keycode - setup->min_keycode + 1;
        Reply<xcb_get_keyboard_mapping_reply_t> m(
            xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, min_, count), nullptr));
        perCode_ = m->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(m.get());
        syms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(m.get()));
    }

    void loadMonitors() {
        Reply<xcb_randr_get_monitors_reply_t> r(
            xcb_randr_get_monitors_reply(c_, xcb_randr_get_monitors(c_, screen_->root, 1), nullptr));
        if (r) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(r.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it)) {
                monitors_.push_back({it.data->x, it.data->y, it.data->width, it.data->height});
            }
        }
        if (monitors_.empty()) {
            monitors_.push_back({0, 0, screen_->width_in_pixels, screen_->height_in_pixels});
        }
    }

    struct Monitor {
        int x, y, w, h;
    };
    std::vector<Monitor> monitors_;
    xcb_connection_t* c_;
    xcb_screen_t* screen_ = nullptr;
    xcb_keycode_t min_ = 0;
    std::size_t perCode_ = 1;
    std::vector<xcb_keysym_t> syms_;
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename Pred> bool waitFor(Pred pred, double timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::duration<double, std::milli>(timeoutMs);
    while (!pred()) {
        if (Clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "cycles") != 0) {
        std::fprintf(stderr, "usage: vessik-probe cycles N PASSWORD (lower-case letters)\n");
        return 2;
    }
    const int cycles = std::atoi(argv[2]);
    const std::string password = argv[3];
    Probe p;
    const xcb_keycode_t shift = p.keycode(0xffe1), control = p.keycode(0xffe3), alt = p.keycode(0xffe9);
    const xcb_keycode_t lockKey = p.keycode('l'), ret = p.keycode(0xff0d);

    for (int i = 0; i < cycles; ++i) {
        if (!waitFor([&] { return p.tryGrab() == XCB_GRAB_STATUS_SUCCESS; }, 5000)) {
            std::fprintf(stderr, "vessik-probe: the keyboard is not free before cycle %d\n", i);
            return 1;
        }
        p.key(shift, true);
        p.key(control, true);
        p.key(alt, true);
        const auto pressed = Clock::now();
        p.key(lockKey, true);
        const bool locked =
            waitFor([&] { return p.tryGrab() == XCB_GRAB_STATUS_ALREADY_GRABBED && p.covered(); }, 5000);
        const auto lockedAt = Clock::now();
        p.key(lockKey, false);
        p.key(alt, false);
        p.key(control, false);
        p.key(shift, false);
        if (!locked) {
            std::fprintf(stderr, "vessik-probe: no lock in cycle %d\n", i);
            return 1;
        }
        // Give the lock window time to come up and take the focus before typing.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (char ch : password) {
            p.tap(p.keycode(static_cast<xcb_keysym_t>(ch)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto returned = Clock::now();
        p.key(ret, true);
        const bool unlocked = waitFor([&] { return p.tryGrab() == XCB_GRAB_STATUS_SUCCESS; }, 5000);
        const auto unlockedAt = Clock::now();
        p.key(ret, false);
        if (!unlocked) {
            std::fprintf(stderr, "vessik-probe: no unlock in cycle %d\n", i);
            return 1;
        }
        std::printf("%.3f %.3f\n", ms(lockedAt - pressed), ms(unlockedAt - returned));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return 0;
}
