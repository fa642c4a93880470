#include "platform/x11/X11DisplayCapture.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <xcb/randr.h>

#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtWidgets/QWidget>

#include "platform/x11/X11.h"

namespace {

// A grab refused because another client holds one is tried again this often.
constexpr int kGrabRetryMs = 10;

// Pointer events the lock window needs while the pointer is grabbed.
constexpr std::uint32_t kPointerEvents = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                         XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW |
                                         XCB_EVENT_MASK_POINTER_MOTION;

// Id of the display "the whole screen" when RandR lists no monitor (never a
// monitor's name atom, which is not None).
constexpr DisplayId kWholeScreen = XCB_ATOM_NONE;

// The most shields kept while monitors come and go during a lock, as many as the
// displays a lock captures.
constexpr std::size_t kMaxDisplays = 100;

} // namespace

X11DisplayCapture::Shield::Shield(xcb_connection_t* c, xcb_window_t root, std::uint32_t blackPixel,
                                  const Monitor& monitor)
    : c_(c), id_(monitor.id), rect_(monitor.rect), window_(xcb_generate_id(c)) {
    const std::uint32_t values[] = {blackPixel, 1, XCB_EVENT_MASK_VISIBILITY_CHANGE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root, static_cast<std::int16_t>(rect_.x()),
                      static_cast<std::int16_t>(rect_.y()), static_cast<std::uint16_t>(rect_.width()),
                      static_cast<std::uint16_t>(rect_.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    static constexpr char kName[] = "Vessik";
    static constexpr char kClass[] = "vessik\0Vessik"; // instance, class
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof kName - 1,
                        kName);
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof kClass,
                        kClass);
    xcb_map_window(c_, window_);
}

X11DisplayCapture::Shield::~Shield() {
    if (window_ != XCB_NONE) {
        xcb_destroy_window(c_, window_);
    }
}

X11DisplayCapture::Shield::Shield(Shield&& other) noexcept
    : c_(other.c_), id_(other.id_), rect_(other.rect_), window_(std::exchange(other.window_, XCB_NONE)) {}

X11DisplayCapture::Shield& X11DisplayCapture::Shield::operator=(Shield&& other) noexcept {
    if (this != &other) {
        if (window_ != XCB_NONE) {
            xcb_destroy_window(c_, window_);
        }
        c_ = other.c_;
        id_ = other.id_;
        rect_ = other.rect_;
        window_ = std::exchange(other.window_, XCB_NONE);
    }
    return *this;
}

void X11DisplayCapture::Shield::moveTo(const QRect& rect) {
    rect_ = rect;
    const std::uint32_t geometry[] = {static_cast<std::uint32_t>(rect.x()), static_cast<std::uint32_t>(rect.y()),
                                      static_cast<std::uint32_t>(rect.width()),
                                      static_cast<std::uint32_t>(rect.height())};
    xcb_configure_window(c_, window_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         geometry);
}

void X11DisplayCapture::InputGrabs::request(xcb_window_t target) {
    requested_ = true;
    if (target != window_) {
        keyboardHeld_ = pointerHeld_ = false;
        window_ = target;
    }
    if (!keyboardHeld_) {
        pendingKeyboard_ = xcb_grab_keyboard(c_, 0, target, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    }
    if (!pointerHeld_) {
        pendingPointer_ = xcb_grab_pointer(c_, 0, target, kPointerEvents, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                           XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
    }
}

void X11DisplayCapture::InputGrabs::collect() {
    if (pendingKeyboard_) {
        XcbReply<xcb_grab_keyboard_reply_t> r(xcb_grab_keyboard_reply(c_, *pendingKeyboard_, nullptr));
        keyboardHeld_ = r && r->status == XCB_GRAB_STATUS_SUCCESS;
        pendingKeyboard_.reset();
    }
    if (pendingPointer_) {
        XcbReply<xcb_grab_pointer_reply_t> r(xcb_grab_pointer_reply(c_, *pendingPointer_, nullptr));
        pointerHeld_ = r && r->status == XCB_GRAB_STATUS_SUCCESS;
        pendingPointer_.reset();
    }
}

void X11DisplayCapture::InputGrabs::windowDestroyed(xcb_window_t window) {
    if (window != XCB_NONE && window == window_) {
        window_ = XCB_NONE;
        keyboardHeld_ = pointerHeld_ = false;
    }
}

void X11DisplayCapture::InputGrabs::release() {
    if (!requested_) {
        return;
    }
    if (pendingKeyboard_) {
        xcb_discard_reply(c_, pendingKeyboard_->sequence);
        pendingKeyboard_.reset();
    }
    if (pendingPointer_) {
        xcb_discard_reply(c_, pendingPointer_->sequence);
        pendingPointer_.reset();
    }
    xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
    xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
    keyboardHeld_ = pointerHeld_ = false;
    window_ = XCB_NONE;
    requested_ = false;
}

X11DisplayCapture::X11DisplayCapture() : connection_(x11Connection()), grabs_(connection_) {
    grabRetry_.setInterval(kGrabRetryMs);
    connect(&grabRetry_, &QTimer::timeout, this, &X11DisplayCapture::grabInput);
    monitorChange_.setSingleShot(true);
    monitorChange_.setInterval(0);
    connect(&monitorChange_, &QTimer::timeout, this, &X11DisplayCapture::followMonitors);
    if (connection_ == nullptr) {
        return;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    root_ = screen->root;
    blackPixel_ = screen->black_pixel;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection_, &xcb_randr_id);
    if (randr != nullptr && randr->present) {
        XcbReply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(connection_, xcb_randr_query_version(connection_, 1, 5), nullptr));
        randrMonitors_ = version && (version->major_version > 1 || version->minor_version >= 5);
    }
    // Installed once for good: a filter installed while Qt runs the filters (a
    // hotkey press that locks) would make Qt hand the same event to another one again.
    qApp->installNativeEventFilter(this);
}

X11DisplayCapture::~X11DisplayCapture() {
    inputHeldCallback_ = nullptr; // its owner may be half destroyed by now
    if (!shields_.empty() || grabs_.requested()) {
        releaseAll();
    }
    if (connection_ != nullptr && qApp != nullptr) {
        qApp->removeNativeEventFilter(this);
    }
}

std::vector<X11DisplayCapture::Monitor> X11DisplayCapture::monitors(std::size_t maxCount) {
    std::vector<Monitor> out;
    if (connection_ == nullptr || maxCount == 0) {
        return out;
    }
    if (randrMonitors_) {
        XcbReply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(connection_, xcb_randr_get_monitors(connection_, root_, 1), nullptr));
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0 && out.size() < maxCount;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t* m = it.data;
                if (m->width > 0 && m->height > 0) {
                    out.push_back({m->name, QRect(m->x, m->y, m->width, m->height)});
                }
            }
        }
    }
    if (out.empty()) {
        // No monitor list: one display that is the whole screen, so a lock still covers everything.
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        out.push_back({kWholeScreen, QRect(0, 0, screen->width_in_pixels, screen->height_in_pixels)});
    }
    return out;
}

std::vector<DisplayId> X11DisplayCapture::activeDisplays(std::size_t maxCount) {
    lastListed_ = monitors(maxCount);
    std::vector<DisplayId> ids;
    ids.reserve(lastListed_.size());
    for (const Monitor& m : lastListed_) {
        ids.push_back(m.id);
    }
    return ids;
}

void X11DisplayCapture::capture(DisplayId display) {
    const auto monitor =
        std::find_if(lastListed_.begin(), lastListed_.end(), [display](const Monitor& m) { return m.id == display; });
    if (connection_ == nullptr || monitor == lastListed_.end()) {
        return;
    }
    if (std::any_of(shields_.begin(), shields_.end(), [display](const Shield& s) { return s.id() == display; })) {
        return;
    }
    const bool first = shields_.empty();
    mapShield(*monitor);
    if (first) {
        watchScreens(true);
        // The grab replies are read later (raiseAboveShields, or the next turn of
        // the event loop), so covering the other monitors does not wait for them.
        requestGrabs();
        QTimer::singleShot(0, this, &X11DisplayCapture::collectGrabs);
    } else {
        restack();
    }
    xcb_flush(connection_);
}

void X11DisplayCapture::mapShield(const Monitor& monitor) {
    shields_.emplace_back(connection_, root_, blackPixel_, monitor);
}

std::vector<X11DisplayCapture::Shield>::iterator X11DisplayCapture::dropShield(std::vector<Shield>::iterator shield) {
    collectGrabs();
    grabs_.windowDestroyed(shield->window());
    reportInputHeld();
    return shields_.erase(shield);
}

void X11DisplayCapture::release(DisplayId display) {
    const auto shield =
        std::find_if(shields_.begin(), shields_.end(), [display](const Shield& s) { return s.id() == display; });
    if (connection_ == nullptr || shield == shields_.end()) {
        return;
    }
    dropShield(shield);
    // The last display of the caller's list gives everything back, including the
    // shields of monitors that appeared while captured.
    const bool anyListed = std::any_of(shields_.begin(), shields_.end(), [this](const Shield& s) {
        return std::any_of(lastListed_.begin(), lastListed_.end(), [&s](const Monitor& m) { return m.id == s.id(); });
    });
    if (!anyListed) {
        releaseAll();
    } else {
        xcb_flush(connection_);
    }
}

void X11DisplayCapture::releaseAll() {
    if (connection_ == nullptr) {
        return;
    }
    grabRetry_.stop();
    monitorChange_.stop();
    watchScreens(false);
    grabs_.release();
    shields_.clear();
    lockWindow_ = nullptr;
    xcb_flush(connection_);
    reportInputHeld();
}

xcb_window_t X11DisplayCapture::lockWindowId() const {
    if (lockWindow_ == nullptr || !lockWindow_->isVisible()) {
        return XCB_NONE;
    }
    return static_cast<xcb_window_t>(lockWindow_->internalWinId());
}

xcb_window_t X11DisplayCapture::grabTarget() const {
    const xcb_window_t lock = lockWindowId();
    if (lock != XCB_NONE) {
        return lock;
    }
    return shields_.empty() ? XCB_NONE : shields_.front().window();
}

void X11DisplayCapture::requestGrabs() {
    collectGrabs();
    const xcb_window_t target = grabTarget();
    if (connection_ == nullptr || target == XCB_NONE) {
        grabRetry_.stop();
        return;
    }
    grabs_.request(target);
}

void X11DisplayCapture::collectGrabs() {
    grabs_.collect();
    if (grabs_.window() == XCB_NONE || grabs_.bothHeld()) {
        grabRetry_.stop();
    } else if (!grabRetry_.isActive()) {
        grabRetry_.start();
    }
    reportInputHeld();
}

void X11DisplayCapture::setInputHeldCallback(std::function<void(bool held)> callback) {
    inputHeldCallback_ = std::move(callback);
}

void X11DisplayCapture::reportInputHeld() {
    const bool held = grabs_.bothHeld();
    if (held == reportedInputHeld_) {
        return;
    }
    reportedInputHeld_ = held;
    if (inputHeldCallback_) {
        inputHeldCallback_(held);
    }
}

void X11DisplayCapture::grabInput() {
    requestGrabs();
    collectGrabs();
}

void X11DisplayCapture::raiseAboveShields(QWidget* window) {
    if (connection_ == nullptr || window == nullptr) {
        return;
    }
    lockWindow_ = window;
    const xcb_window_t lock = lockWindowId();
    if (lock == XCB_NONE) {
        return;
    }
    // Qt does not ask for VisibilityNotify; add it to Qt's own event mask so that
    // a window mapped above the lock window is noticed.
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, lock), nullptr));
    if (attributes) {
        const std::uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
        xcb_change_window_attributes(connection_, lock, XCB_CW_EVENT_MASK, &mask);
    }
    restack();
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_PARENT, lock, XCB_CURRENT_TIME);
    grabInput(); // moves the grabs onto the lock window
    xcb_flush(connection_);
}

void X11DisplayCapture::restack() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    for (const Shield& s : shields_) {
        xcb_configure_window(connection_, s.window(), XCB_CONFIG_WINDOW_STACK_MODE, &above);
    }
    const xcb_window_t lock = lockWindowId();
    if (lock != XCB_NONE) {
        xcb_configure_window(connection_, lock, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    }
}

void X11DisplayCapture::keepOnTop() {
    std::vector<xcb_window_t> ours;
    for (const Shield& s : shields_) {
        ours.push_back(s.window());
    }
    if (const xcb_window_t lock = lockWindowId(); lock != XCB_NONE) {
        ours.push_back(lock);
    }
    // Our own windows obscure one another too: restack only when some other window
    // is above them, so that restacking never feeds itself.
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
    if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree.get()); // bottom to top
        const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
        if (count >= ours.size() && std::equal(ours.begin(), ours.end(), children + (count - ours.size()))) {
            return;
        }
    }
    restack();
    grabInput();
    xcb_flush(connection_);
}

void X11DisplayCapture::followMonitors() {
    if (connection_ == nullptr || shields_.empty()) {
        return;
    }
    const std::vector<Monitor> now = monitors(kMaxDisplays);
    // Shields of monitors that went away go; moved monitors take their shield along.
    for (auto it = shields_.begin(); it != shields_.end();) {
        const auto m = std::find_if(now.begin(), now.end(), [&it](const Monitor& n) { return n.id == it->id(); });
        if (m == now.end()) {
            it = dropShield(it);
            continue;
        }
        if (m->rect != it->rect()) {
            it->moveTo(m->rect);
        }
        ++it;
    }
    // New monitors are covered, up to the most displays a lock captures.
    for (const Monitor& m : now) {
        const bool shielded =
            std::any_of(shields_.begin(), shields_.end(), [&m](const Shield& s) { return s.id() == m.id; });
        if (!shielded && shields_.size() < kMaxDisplays) {
            mapShield(m);
        }
    }
    restack();
    grabInput(); // the grab may have been on a shield that went away
    xcb_flush(connection_);
}

void X11DisplayCapture::watchScreens(bool on) {
    for (const QMetaObject::Connection& c : screenConnections_) {
        disconnect(c);
    }
    screenConnections_.clear();
    if (!on || qGuiApp == nullptr) {
        return;
    }
    auto changed = [this] { monitorChange_.start(); };
    auto watch = [this, changed](QScreen* screen) {
        screenConnections_.push_back(connect(screen, &QScreen::geometryChanged, this, changed));
    };
    screenConnections_.push_back(connect(qGuiApp, &QGuiApplication::screenAdded, this, [watch, changed](QScreen* s) {
        watch(s);
        changed();
    }));
    screenConnections_.push_back(connect(qGuiApp, &QGuiApplication::screenRemoved, this, changed));
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (QScreen* s : screens) {
        watch(s);
    }
}

bool X11DisplayCapture::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) {
    if (shields_.empty() && lockWindow_ == nullptr) {
        return false; // nothing captured: the common case, kept cheap
    }
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_VISIBILITY_NOTIFY) {
        return false;
    }
    const auto* visibility = static_cast<const xcb_visibility_notify_event_t*>(message);
    if (visibility->state == XCB_VISIBILITY_UNOBSCURED) {
        return false;
    }
    const bool ours = visibility->window == lockWindowId() ||
                      std::any_of(shields_.begin(), shields_.end(),
                                  [visibility](const Shield& s) { return s.window() == visibility->window; });
    if (ours) {
        keepOnTop();
    }
    return false;
}
