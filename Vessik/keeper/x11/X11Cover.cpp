#include "keeper/x11/X11Cover.h"

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

std::vector<X11Monitor> x11Monitors(xcb_connection_t* c, const xcb_screen_t& screen, bool listsMonitors,
                                    std::size_t maxCount) {
    std::vector<X11Monitor> out;
    if (maxCount == 0) {
        return out;
    }
    if (listsMonitors) {
        XcbReply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, screen.root, 1), nullptr));
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0 && out.size() < maxCount;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* m = it.data;
                if (m->width > 0 && m->height > 0) {
                    out.push_back({m->name, {m->x, m->y, m->width, m->height}});
                }
            }
        }
    }
    if (out.empty()) {
        out.push_back({kX11WholeScreen, {0, 0, screen.width_in_pixels, screen.height_in_pixels}});
    }
    return out;
}

xcb_window_t x11CreateShield(xcb_connection_t* c, const xcb_screen_t& screen, const X11Rect& rect,
                             std::uint32_t events) {
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {screen.black_pixel, 1, events};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen.root, rect.x, rect.y, rect.width, rect.height, 0,
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
