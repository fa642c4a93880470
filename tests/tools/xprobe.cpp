// A second X client for the X11 tests: it looks at the display the way another
// program would, and reports on standard output.
//
//   xprobe grab-keyboard      try to grab the keyboard; prints the grab status
//   xprobe grab-pointer       try to grab the pointer; prints the grab status
//   xprobe hold-keyboard      grab the keyboard, print "held", keep it until stdin closes
//   xprobe map-window X Y W H map a red override-redirect window there, print its id,
//                             keep it until stdin closes
//   xprobe top-window X Y     print the id and WM_CLASS class of the topmost viewable
//                             top-level window at that point ("none" when there is none)
//   xprobe pixel X Y          print the colour of the screen at that point as "R G B"
//
// Grab statuses: 0 Success, 1 AlreadyGrabbed, 2 InvalidTime, 3 NotViewable, 4 Frozen.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
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

// The class part of WM_CLASS ("instance\0class\0"), or "-".
std::string windowClass(xcb_connection_t* c, xcb_window_t w) {
    std::unique_ptr<xcb_get_property_reply_t, Free> r(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr));
    if (!r) {
        return "-";
    }
    const char* data = static_cast<const char*>(xcb_get_property_value(r.get()));
    const std::string value(data, static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
    const std::size_t nul = value.find('\0');
    if (nul == std::string::npos || nul + 1 >= value.size()) {
        return "-";
    }
    return value.substr(nul + 1, value.find('\0', nul + 1) - nul - 1);
}

void printTopWindow(xcb_connection_t* c, xcb_window_t root, int x, int y) {
    std::unique_ptr<xcb_query_tree_reply_t, Free> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
    const xcb_window_t* children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
    for (int i = tree ? xcb_query_tree_children_length(tree.get()) - 1 : -1; i >= 0; --i) { // top first
        std::unique_ptr<xcb_get_window_attributes_reply_t, Free> a(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr));
        std::unique_ptr<xcb_get_geometry_reply_t, Free> g(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, children[i]), nullptr));
        if (!a || !g || a->map_state != XCB_MAP_STATE_VIEWABLE || a->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
            continue;
        }
        if (x >= g->x && y >= g->y && x < g->x + g->width && y < g->y + g->height) {
            std::printf("0x%x %s\n", children[i], windowClass(c, children[i]).c_str());
            return;
        }
    }
    std::printf("none\n");
}

void printPixel(xcb_connection_t* c, xcb_window_t root, int x, int y) {
    std::unique_ptr<xcb_get_image_reply_t, Free> r(
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, static_cast<std::int16_t>(x),
                                          static_cast<std::int16_t>(y), 1, 1, ~0U),
                            nullptr));
    if (!r || xcb_get_image_data_length(r.get()) < 4) {
        std::printf("error\n");
        return;
    }
    std::uint32_t pixel = 0;
    std::memcpy(&pixel, xcb_get_image_data(r.get()), 4); // 24-bit TrueColor, 32 bits a pixel
    std::printf("%u %u %u\n", (pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: xprobe grab-keyboard|grab-pointer|hold-keyboard|map-window|top-window|pixel\n");
        return 2;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "xprobe: cannot connect to the X server\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t root = screen->root;
    auto arg = [argc, argv](int i) { return i < argc ? std::atoi(argv[i]) : 0; };
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
        waitForStdinToClose();
        xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    } else if (std::strcmp(cmd, "map-window") == 0 && argc == 6) {
        std::printf("0x%x\n", mapWindow(c, screen, arg(2), arg(3), arg(4), arg(5)));
        std::fflush(stdout);
        waitForStdinToClose();
    } else if (std::strcmp(cmd, "top-window") == 0 && argc == 4) {
        printTopWindow(c, root, arg(2), arg(3));
    } else if (std::strcmp(cmd, "pixel") == 0 && argc == 4) {
        printPixel(c, root, arg(2), arg(3));
    } else {
        std::fprintf(stderr, "xprobe: unknown command %s\n", cmd);
        rc = 2;
    }
    std::fflush(stdout);
    xcb_flush(c);
    xcb_disconnect(c);
    return rc;
}
