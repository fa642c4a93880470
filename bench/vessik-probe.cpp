// The measuring client of the benchmark. It drives a running locker (Vessik, or
// the floor locker) with raw XTEST events (xdotool would add ~15 ms of start-up
// per step) and watches the display the way another program would: can it grab
// the keyboard and the pointer, what do the pixels of the screen show.
//
//   vessik-probe cycles N PASSWORD
//
// First it maps a red window over the whole screen: the desktop. Each cycle
// presses the lock hotkey (Shift+Control+Alt+L) and measures the time until
// both of this client's grabs are refused and no sampled pixel of the screen
// is red (every fourth row and column of a grid across the whole screen:
// 5 full rows and 5 full columns); types PASSWORD, presses Return, and measures
// the time until the keyboard can be grabbed again, and until both grabs are
// free and every sampled pixel is red again. Prints one line per cycle:
// "lock_ms unlock_keyboard_ms unlock_ms".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace {

constexpr std::uint32_t kRed = 0xff0000; // TrueColor, 24 bits

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

    // 0 when this client got the pointer (it is released at once), else the refusal status.
    int tryGrabPointer() {
        Reply<xcb_grab_pointer_reply_t> r(
            xcb_grab_pointer_reply(c_,
                                   xcb_grab_pointer(c_, 0, screen_->root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                                    XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                                   nullptr));
        const int status = r ? r->status : -1;
        if (status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
            xcb_flush(c_);
        }
        return status;
    }

    // The desktop: a red override-redirect window over the whole screen, below whatever a lock maps.
    void mapDesktop() {
        const xcb_window_t window = xcb_generate_id(c_);
        const std::uint32_t values[] = {kRed, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, screen_->root, 0, 0, screen_->width_in_pixels,
                          screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window);
        xcb_flush(c_);
    }

    // Whether every sampled pixel of the screen is red (`red`), or none is.
    bool screenIs(bool red) {
        const int w = screen_->width_in_pixels;
        const int h = screen_->height_in_pixels;
        std::vector<xcb_get_image_cookie_t> cookies;
        for (int i = 0; i < 5; ++i) { // rows and columns at 0, 1/4, 1/2, 3/4 and the last
            const int y = std::min(h - 1, i * h / 4);
            const int x = std::min(w - 1, i * w / 4);
            cookies.push_back(xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, 0,
                                            static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w), 1, ~0U));
            cookies.push_back(xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, static_cast<std::int16_t>(x),
                                            0, 1, static_cast<std::uint16_t>(h), ~0U));
        }
        bool all = true;
        for (const xcb_get_image_cookie_t cookie : cookies) {
            Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(c_, cookie, nullptr));
            const int length = image ? xcb_get_image_data_length(image.get()) : 0;
            const std::uint8_t* data = image ? xcb_get_image_data(image.get()) : nullptr;
            for (int i = 0; all && i + 4 <= length; i += 4) {
                std::uint32_t pixel = 0;
                std::memcpy(&pixel, data + i, 4);
                all = ((pixel & 0xffffff) == kRed) == red;
            }
            all = all && image != nullptr;
        }
        return all;
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
    p.mapDesktop();
    if (!waitFor([&] { return p.screenIs(true); }, 5000)) {
        std::fprintf(stderr, "vessik-probe: the desktop does not show\n");
        return 1;
    }

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
        const bool locked = waitFor(
            [&] {
                return p.tryGrab() == XCB_GRAB_STATUS_ALREADY_GRABBED &&
                       p.tryGrabPointer() == XCB_GRAB_STATUS_ALREADY_GRABBED && p.screenIs(false);
            },
            5000);
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
        const auto keyboardFreeAt = Clock::now();
        const bool shown = waitFor(
            [&] { return p.tryGrabPointer() == XCB_GRAB_STATUS_SUCCESS && p.tryGrab() == 0 && p.screenIs(true); },
            5000);
        const auto unlockedAt = Clock::now();
        p.key(ret, false);
        if (!unlocked || !shown) {
            std::fprintf(stderr, "vessik-probe: no unlock in cycle %d\n", i);
            return 1;
        }
        std::printf("%.3f %.3f %.3f\n", ms(lockedAt - pressed), ms(keyboardFreeAt - returned),
                    ms(unlockedAt - returned));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    return 0;
}
