#include "keeper/x11/X11Cover.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/randr.h>

#include "keeper/x11/XcbReply.h"

bool x11ListsMonitors(xcb_connection_t* c) {
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr == nullptr || !randr->present) {
        return false;
    }
    XcbReply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    return version && (version->major_version > 1 || version->minor_version >= 5);
}

X11Screen x11Screen(xcb_connection_t* c, const xcb_screen_t& screen, bool listsMonitors, std::size_t maxCount) {
    X11Screen out;
    // Both questions in one round trip.
    const xcb_get_geometry_cookie_t rootAsked = xcb_get_geometry(c, screen.root);
    std::optional<xcb_randr_get_monitors_cookie_t> monitorsAsked;
    if (listsMonitors && maxCount > 0) {
        monitorsAsked = xcb_randr_get_monitors(c, screen.root, 1);
    }
    XcbReply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, rootAsked, nullptr));
    out.root = root ? X11Rect{0, 0, root->width, root->height}
                    : X11Rect{0, 0, screen.width_in_pixels, screen.height_in_pixels};
    if (monitorsAsked) {
        XcbReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(c, *monitorsAsked, nullptr));
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get());
                 it.rem > 0 && out.monitors.size() < maxCount; xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* m = it.data;
                if (m->width > 0 && m->height > 0) {
                    out.monitors.push_back({m->name, {m->x, m->y, m->width, m->height}});
                }
            }
        }
    }
    if (out.monitors.empty() && maxCount > 0) {
        out.monitors.push_back({kX11WholeScreen, out.root});
    }
    return out;
}

bool x11HasOverlay(xcb_connection_t* c) {
    const xcb_query_extension_reply_t* composite = xcb_get_extension_data(c, &xcb_composite_id);
    if (composite == nullptr || !composite->present) {
        return false;
    }
    XcbReply<xcb_composite_query_version_reply_t> version(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    return version && (version->major_version > 0 || version->minor_version >= 3);
}

xcb_window_t x11TakeOverlay(xcb_connection_t* c, xcb_window_t root) {
    XcbReply<xcb_composite_get_overlay_window_reply_t> reply(
        xcb_composite_get_overlay_window_reply(c, xcb_composite_get_overlay_window(c, root), nullptr));
    return reply ? reply->overlay_win : XCB_NONE;
}

void x11HoldOverlay(xcb_connection_t* c, xcb_window_t root) {
    xcb_discard_reply(c, xcb_composite_get_overlay_window(c, root).sequence);
}

void x11ReleaseOverlay(xcb_connection_t* c, xcb_window_t root) {
    xcb_composite_release_overlay_window(c, root);
}

bool x11Compositing(xcb_connection_t* c, const xcb_screen_t& screen) {
    int number = 0;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem > 0 && it.data->root != screen.root;
         xcb_screen_next(&it)) {
        ++number;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(number);
    XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE) {
        return false;
    }
    XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr));
    return owner && owner->owner != XCB_NONE;
}

namespace {

// Whether a stream socket of `family` reaches `address`.
bool takesConnection(int family, const sockaddr* address, socklen_t size) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool taken = ::connect(fd, address, size) == 0;
    ::close(fd);
    return taken;
}

bool localServerAlive(const std::string& number) {
    const std::string path = "/tmp/.X11-unix/X" + number;
    // The abstract name first, as xcb tries it, then the file.
    for (const bool abstract : {true, false}) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        if (path.size() + offset >= sizeof address.sun_path) {
            return false;
        }
        std::memcpy(address.sun_path + offset, path.data(), path.size());
        // The name and a NUL for the file; the NUL that opens an abstract name and the name.
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        if (takesConnection(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), size)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool x11ServerAlive(const char* display) {
    const char* name = display != nullptr ? display : std::getenv("DISPLAY");
    if (name == nullptr) {
        return false;
    }
    const std::string text(name);
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string host = text.substr(0, colon);
    const std::string number = text.substr(colon + 1, text.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    if (host.empty() || host == "unix") {
        return localServerAlive(number);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(6000 + std::atoi(number.c_str()));
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        return false;
    }
    bool alive = false;
    for (const addrinfo* a = found; a != nullptr && !alive; a = a->ai_next) {
        alive = takesConnection(a->ai_family, a->ai_addr, a->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return alive;
}

xcb_window_t x11CreateShield(xcb_connection_t* c, const xcb_screen_t& screen, xcb_window_t parent, const X11Rect& rect,
                             std::uint32_t events) {
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen.black_pixel, 1, events};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, parent, rect.x, rect.y, rect.width, rect.height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    static constexpr char kName[] = "Vessik";
    static constexpr char kClass[] = "vessik\0Vessik"; // instance, class
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof kName - 1,
                        kName);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof kClass, kClass);
    return window;
}

void x11PlaceWindow(xcb_connection_t* c, xcb_window_t window, const X11Rect& rect) {
    const std::uint32_t geometry[] = {static_cast<std::uint32_t>(rect.x), static_cast<std::uint32_t>(rect.y),
                                      rect.width, rect.height, 0};
    xcb_configure_window(c, window,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_BORDER_WIDTH,
                         geometry);
}

bool x11CreatedBy(xcb_connection_t* c, std::uint32_t base, xcb_window_t window) {
    return (window & ~xcb_get_setup(c)->resource_id_mask) == base;
}

bool x11Foreign(xcb_connection_t* c, xcb_window_t window) {
    return !x11CreatedBy(c, xcb_get_setup(c)->resource_id_base, window);
}

X11WindowChange x11WindowChange(const xcb_generic_event_t* event) {
    X11WindowChange change;
    if ((event->response_type & 0x80) != 0) {
        return change;
    }
    switch (event->response_type) {
    case XCB_UNMAP_NOTIFY:
    case XCB_DESTROY_NOTIFY: {
        // Both begin with the window that reports and the window it is about.
        const auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        if (e->event == e->window) {
            change.kind =
                event->response_type == XCB_UNMAP_NOTIFY ? X11WindowChange::Unmapped : X11WindowChange::Destroyed;
            change.window = e->window;
        }
        break;
    }
    case XCB_CONFIGURE_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        if (e->event == e->window) {
            change = {
                X11WindowChange::Configured, e->window, XCB_NONE, {e->x, e->y, e->width, e->height}, e->border_width};
        }
        break;
    }
    case XCB_CREATE_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
        change.kind = X11WindowChange::ChildAdded;
        change.window = e->parent;
        change.child = e->window;
        break;
    }
    case XCB_REPARENT_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
        if (e->event == e->parent) {
            change.kind = X11WindowChange::ChildAdded;
            change.window = e->parent;
            change.child = e->window;
        } else if (e->event == e->window) {
            change.kind = X11WindowChange::Reparented;
            change.window = e->window;
            change.parent = e->parent;
        }
        break;
    }
    default:
        break;
    }
    return change;
}
