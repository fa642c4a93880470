#include "platform/x11/X11SymbolicHotKeys.h"

#include <algorithm>
#include <array>
#include <xcb/xinput.h>

#include "platform/KeyNames.h"
#include "platform/PlatformServices.h"
#include "platform/x11/X11.h"
#include "platform/x11/X11KeyPositions.h"

namespace {

constexpr std::uint32_t kAnyModifier = XCB_INPUT_MODIFIER_MASK_ANY;

// The XInput2 devices a passive keyboard grab may name: all devices, all master
// devices and each master keyboard. Empty without XInput 2.
std::vector<xcb_input_device_id_t> xi2KeyboardDevices(xcb_connection_t* c) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_input_id);
    if (ext == nullptr || ext->present == 0) {
        return {};
    }
    XcbReply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2) {
        return {};
    }
    std::vector<xcb_input_device_id_t> devices{XCB_INPUT_DEVICE_ALL, XCB_INPUT_DEVICE_ALL_MASTER};
    XcbReply<xcb_input_xi_query_device_reply_t> query(
        xcb_input_xi_query_device_reply(c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL_MASTER), nullptr));
    if (query) {
        for (auto it = xcb_input_xi_query_device_infos_iterator(query.get()); it.rem > 0;
             xcb_input_xi_device_info_next(&it)) {
            if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_KEYBOARD) {
                devices.push_back(it.data->deviceid);
            }
        }
    }
    return devices;
}

struct KeyProbe {
    std::int32_t keyCode = 0;
    xcb_keycode_t keycode = 0;
    std::vector<xcb_void_cookie_t> core;
    std::vector<xcb_input_xi_passive_grab_device_cookie_t> xi;
};

} // namespace

X11SymbolicHotKeys::X11SymbolicHotKeys(std::shared_ptr<const X11OwnGrabs> own) : own_(std::move(own)) {}

bool X11SymbolicHotKeys::copySymbolicHotKeys(std::vector<SymbolicHotKey>& out) {
    if (!isX11Session()) {
        return false; // Qt is not on X11 (an X server of a Wayland session holds no desktop hotkeys)
    }
    const std::optional<X11Connection> conn = X11Connection::open();
    if (!conn) {
        return false;
    }
    xcb_connection_t* c = conn->get();
    const xcb_window_t root = conn->root();
    const std::optional<X11KeyPositions> positions = X11KeyPositions::load(c);
    if (!positions) {
        return false;
    }
    const std::vector<xcb_input_device_id_t> xiDevices = xi2KeyboardDevices(c);
    const std::uint32_t xiEventMask = XCB_INPUT_XI_EVENT_MASK_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_KEY_RELEASE;

    // Send every probe first and read the answers afterwards: one round trip in all.
    std::vector<KeyProbe> probes;
    for (const KeyName& key : keyNameTable()) {
        const std::optional<xcb_keycode_t> keycode = positions->keycode(key.code);
        if (!keycode) {
            continue;
        }
        std::vector<std::uint16_t> ownMasks;
        if (own_) {
            for (const X11OwnGrab& grab : *own_) {
                if (grab.keycode == *keycode) {
                    ownMasks.insert(ownMasks.end(), grab.masks.begin(), grab.masks.end());
                }
            }
        }
        KeyProbe probe;
        probe.keyCode = key.code;
        probe.keycode = *keycode;
        if (ownMasks.empty()) {
            probe.core.push_back(
                xcb_grab_key_checked(c, 0, root, XCB_MOD_MASK_ANY, *keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        } else {
            // An any-modifier probe would collide with Vessik's own grabs: probe
            // every other modifier set one by one.
            for (std::uint16_t mask = 0; mask <= 0xFF; ++mask) {
                if (std::find(ownMasks.begin(), ownMasks.end(), mask) == ownMasks.end()) {
                    probe.core.push_back(
                        xcb_grab_key_checked(c, 0, root, mask, *keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
                }
            }
        }
        // Vessik's grabs are core grabs, which XInput2 grabs never collide with.
        for (const xcb_input_device_id_t device : xiDevices) {
            probe.xi.push_back(xcb_input_xi_passive_grab_device(
                c, XCB_CURRENT_TIME, root, XCB_NONE, *keycode, device, 1, 1, XCB_INPUT_GRAB_TYPE_KEYCODE,
                XCB_INPUT_GRAB_MODE_22_ASYNC, XCB_INPUT_GRAB_MODE_22_ASYNC, 0, &xiEventMask, &kAnyModifier));
        }
        probes.push_back(std::move(probe));
    }

    out.clear();
    for (const KeyProbe& probe : probes) {
        bool taken = false;
        for (const xcb_void_cookie_t cookie : probe.core) {
            XcbReply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
            taken = taken || error != nullptr;
        }
        for (const auto cookie : probe.xi) {
            // The reply lists the modifier sets that could not be grabbed.
            XcbReply<xcb_input_xi_passive_grab_device_reply_t> reply(
                xcb_input_xi_passive_grab_device_reply(c, cookie, nullptr));
            taken = taken || (reply && reply->num_modifiers > 0);
        }
        if (taken) {
            out.push_back(SymbolicHotKey{probe.keyCode, true});
        }
        // Let go of whatever this probe was granted; closing the connection would too.
        xcb_ungrab_key(c, probe.keycode, root, XCB_MOD_MASK_ANY);
        for (const xcb_input_device_id_t device : xiDevices) {
            xcb_input_xi_passive_ungrab_device(c, root, probe.keycode, device, 1, XCB_INPUT_GRAB_TYPE_KEYCODE,
                                               &kAnyModifier);
        }
    }
    XcbReply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return true;
}
