// A second X client for the X11 tests: it looks at the display the way another
// program would, and reports on standard output.
//
//   xprobe grab-keyboard      try to grab the keyboard; prints the grab status
//   xprobe grab-pointer       try to grab the pointer; prints the grab status
//   xprobe hold-keyboard      grab the keyboard, print "held", keep it until stdin closes
//
// Grab statuses: 0 Success, 1 AlreadyGrabbed, 2 InvalidTime, 3 NotViewable, 4 Frozen.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};

int grabKeyboard(xcb_connection_t* c, xcb_window_t root) {
    std::unique_ptr<xcb_grab_keyboard_reply_t, Free> r(xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr));
    return r ? r->status : -1;
}

int grabPointer(xcb_connection_t* c, xcb_window_t root) {
    std::unique_ptr<xcb_grab_pointer_reply_t, Free> r(
        xcb_grab_pointer_reply(c,
                               xcb_grab_pointer(c, 0, root, XCB_EVENT_MASK_BUTTON_PRESS, XCB_GRAB_MODE_ASYNC,
                                                XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
                               nullptr));
    return r ? r->status : -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: xprobe grab-keyboard|grab-pointer|hold-keyboard\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "xprobe: cannot connect to the X server\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const char* cmd = argv[1];
    int rc = 0;
    if (std::strcmp(cmd, "grab-keyboard") == 0) {
        const int status = grabKeyboard(c, root);
        std::printf("%d\n", status);
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    } else if (std::strcmp(cmd, "grab-pointer") == 0) {
        const int status = grabPointer(c, root);
        std::printf("%d\n", status);
        xcb_ungrab_pointer(c, XCB_CURRENT_TIME);
    } else if (std::strcmp(cmd, "hold-keyboard") == 0) {
        const int status = grabKeyboard(c, root);
        std::printf("%s\n", status == 0 ? "held" : "refused");
        std::fflush(stdout);
        char buf[64];
        while (read(STDIN_FILENO, buf, sizeof buf) > 0) {
        }
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    } else {
        std::fprintf(stderr, "xprobe: unknown command %s\n", cmd);
        rc = 2;
    }
    std::fflush(stdout);
    xcb_flush(c);
    xcb_disconnect(c);
    return rc;
}
