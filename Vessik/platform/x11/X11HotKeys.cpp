#include "platform/x11/X11HotKeys.h"

#include <algorithm>
#include <set>

#include <QtCore/QCoreApplication>
#include <QtCore/QObject>

#include "platform/x11/X11.h"
#include "platform/x11/X11KeyPositions.h"

namespace {

// Shift, Control and Option become Shift, Control and Mod1; other bits are ignored.
std::uint16_t xModifiers(std::uint32_t modifiers) {
    std::uint16_t mask = 0;
    if ((modifiers & shiftKey) != 0) {
        mask |= XCB_MOD_MASK_SHIFT;
    }
    if ((modifiers & controlKey) != 0) {
        mask |= XCB_MOD_MASK_CONTROL;
    }
    if ((modifiers & optionKey) != 0) {
        mask |= XCB_MOD_MASK_1;
    }
    return mask;
}

} // namespace

struct X11HotKeys::State {
    struct Live {
        std::uint64_t serial = 0;
        xcb_keycode_t keycode = 0;
        std::uint16_t modifiers = 0; // Shift/Control/Mod1 as asked
        std::uint16_t locks = 0;     // Caps Lock and Num Lock bits, ignored when matching
        std::vector<std::uint16_t> masks;
        EventHotKeyID id;
    };

    xcb_connection_t* c = nullptr;
    xcb_window_t root = XCB_NONE;
    std::vector<Live> live;
    std::shared_ptr<X11OwnGrabs> own = std::make_shared<X11OwnGrabs>();
    HotKeyHandlers handlers;
    std::set<xcb_keycode_t> down; // hotkey keys pressed and not yet released
    xcb_keycode_t lastReleasedKey = 0;
    xcb_timestamp_t lastReleaseTime = 0;
    std::uint64_t nextSerial = 1;
    QObject dispatcher; // the context of queued handler calls

    void publishOwnGrabs() {
        own->clear();
        for (const Live& l : live) {
            own->push_back(X11OwnGrab{l.keycode, l.masks});
        }
    }

    void release(std::uint64_t serial) {
        const auto it = std::find_if(live.begin(), live.end(), [serial](const Live& l) { return l.serial == serial; });
        if (it == live.end()) {
            return;
        }
        for (const std::uint16_t mask : it->masks) {
            xcb_ungrab_key(c, it->keycode, root, mask);
        }
        xcb_flush(c);
        down.erase(it->keycode);
        live.erase(it);
        publishOwnGrabs();
    }

    void dispatch(const EventHotKeyID& id) { dispatchHotKeyPress(handlers, id); }

    // True when the event was a press of a live hotkey (it is then swallowed).
    bool keyPress(const xcb_key_press_event_t& e) {
        for (const Live& l : live) {
            if (l.keycode != e.detail || (e.state & 0xFF & ~l.locks) != l.modifiers) {
                continue;
            }
            // A key held down repeats as presses without releases, or (without
            // detectable auto repeat) as release-press pairs with one timestamp.
            const bool repeat = down.contains(e.detail) || (lastReleasedKey == e.detail && lastReleaseTime == e.time);
            down.insert(e.detail);
            if (!repeat) {
                const EventHotKeyID id = l.id;
                QMetaObject::invokeMethod(
                    &dispatcher, [this, id] { dispatch(id); }, Qt::QueuedConnection);
            }
            return true;
        }
        return false;
    }

    void keyRelease(const xcb_key_release_event_t& e) {
        if (down.erase(e.detail) > 0) {
            lastReleasedKey = e.detail;
            lastReleaseTime = e.time;
        }
    }
};

namespace {

class X11Registration final : public HotKeyRegistration {
public:
    X11Registration(std::shared_ptr<X11HotKeys::State> state, std::uint64_t serial)
        : state_(std::move(state)), serial_(serial) {}
    ~X11Registration() override { state_->release(serial_); }
    X11Registration(const X11Registration&) = delete;
    X11Registration& operator=(const X11Registration&) = delete;

private:
    std::shared_ptr<X11HotKeys::State> state_;
    std::uint64_t serial_;
};

} // namespace

X11HotKeys::X11HotKeys(xcb_connection_t* c, xcb_window_t root) : state_(std::make_shared<State>()) {
    state_->c = c;
    state_->root = root;
    if (c != nullptr && QCoreApplication::instance() != nullptr) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
}

// The event filter removes itself from the application on destruction.
X11HotKeys::~X11HotKeys() = default;

std::shared_ptr<const X11OwnGrabs> X11HotKeys::ownGrabs() const {
    return state_->own;
}

void X11HotKeys::installEventHandler(HotKeyHandlerFunction handler, const EventTypeSpec& type) {
    state_->handlers.emplace_back(handler, type);
}

EventHotKeyRef X11HotKeys::registerEventHotKey(std::int32_t keyCode, std::uint32_t modifiers, const EventHotKeyID& id) {
    State& s = *state_;
    if (s.c == nullptr) {
        return {};
    }
    const std::optional<X11KeyPositions> positions = X11KeyPositions::load(s.c);
    if (!positions) {
        return {};
    }
    const std::optional<xcb_keycode_t> keycode = positions->keycode(keyCode);
    if (!keycode) {
        return {};
    }
    const std::uint16_t mods = xModifiers(modifiers);
    for (const State::Live& l : s.live) {
        if (l.keycode == *keycode && l.modifiers == mods) {
            return {}; // already registered by another hotkey
        }
    }
    // A Num Lock bit that is also one of the hotkey's own modifiers cannot be ignored.
    std::uint16_t numLock = positions->numLockMask();
    if ((numLock & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1)) != 0) {
        numLock = 0;
    }
    std::vector<std::uint16_t> masks;
    for (const std::uint16_t extra : {std::uint16_t{0}, std::uint16_t{XCB_MOD_MASK_LOCK}, numLock,
                                      static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLock)}) {
        const auto mask = static_cast<std::uint16_t>(mods | extra);
        if (std::find(masks.begin(), masks.end(), mask) == masks.end()) {
            masks.push_back(mask);
        }
    }

    std::vector<xcb_void_cookie_t> cookies;
    for (const std::uint16_t mask : masks) {
        cookies.push_back(
            xcb_grab_key_checked(s.c, 0, s.root, mask, *keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    std::vector<std::uint16_t> granted;
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        XcbReply<xcb_generic_error_t> error(xcb_request_check(s.c, cookies[i]));
        if (!error) {
            granted.push_back(masks[i]);
        }
    }
    if (granted.size() != masks.size()) { // another client holds this combination
        for (const std::uint16_t mask : granted) {
            xcb_ungrab_key(s.c, *keycode, s.root, mask);
        }
        xcb_flush(s.c);
        return {};
    }

    const std::uint64_t serial = s.nextSerial++;
    s.live.push_back(State::Live{serial, *keycode, mods, static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | numLock),
                                 std::move(masks), id});
    s.publishOwnGrabs();
    return std::make_unique<X11Registration>(state_, serial);
}

bool X11HotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" || state_->live.empty()) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x80) != 0) {
        return false; // made up by another client (SendEvent): never a hotkey
    }
    switch (event->response_type & 0x7F) {
    case XCB_KEY_PRESS:
        return state_->keyPress(*static_cast<const xcb_key_press_event_t*>(message));
    case XCB_KEY_RELEASE:
        state_->keyRelease(*static_cast<const xcb_key_release_event_t*>(message));
        return false;
    default:
        return false;
    }
}
