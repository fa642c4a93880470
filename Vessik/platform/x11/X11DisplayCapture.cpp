#include "platform/x11/X11DisplayCapture.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <xcb/randr.h>

#include <QtCore/QScopedValueRollback>
#include <QtGui/QGuiApplication>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QWidget>

#include "platform/x11/X11.h"

namespace {

// What a shield reports: being covered, unmapped, moved or destroyed, windows
// created inside it, and what the grab keeper needs while the grabs are on it.
constexpr std::uint32_t kShieldEvents = XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | X11GrabKeeper::kGrabWindowEvents;

// Added to Qt's own event mask of the lock window, for the same reasons.
constexpr std::uint32_t kLockWindowEvents = XCB_EVENT_MASK_VISIBILITY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY |
                                            XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | X11GrabKeeper::kGrabWindowEvents;

// The window a structure event of type Event is about, when it was reported to
// that window itself (StructureNotify), not to its parent (SubstructureNotify).
template <typename Event> xcb_window_t windowItself(const xcb_generic_event_t* event) {
    const auto* e = reinterpret_cast<const Event*>(event);
    return e->event == e->window ? e->window : XCB_NONE;
}

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
    const std::uint32_t values[] = {blackPixel, 1, kShieldEvents};
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

X11DisplayCapture::X11DisplayCapture() : connection_(x11Connection()), grabs_(connection_) {
    grabTick_.setSingleShot(true);
    grabTick_.setTimerType(Qt::PreciseTimer);
    connect(&grabTick_, &QTimer::timeout, this, &X11DisplayCapture::tickGrabs);
    monitorChange_.setSingleShot(true);
    monitorChange_.setInterval(0);
    connect(&monitorChange_, &QTimer::timeout, this, &X11DisplayCapture::followMonitors);
    grabs_.setHeldCallback([this](bool) {
        // Inside Qt's event filters the owner's callback waits for the event loop.
        if (!inEventFilter_) {
            reportInputHeld();
        } else if (!reportQueued_) {
            reportQueued_ = true;
            QMetaObject::invokeMethod(this, &X11DisplayCapture::reportInputHeld, Qt::QueuedConnection);
        }
    });
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
    if (!shields_.empty() || grabs_.active()) {
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
        grabs_.hold(grabTarget());
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
    grabs_.windowGone(shield->window());
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
        grabInput(); // the grabs may have been on that shield
        xcb_flush(connection_);
    }
}

void X11DisplayCapture::releaseAll() {
    if (connection_ == nullptr) {
        return;
    }
    grabTick_.stop();
    monitorChange_.stop();
    watchScreens(false);
    grabs_.release();
    shields_.clear();
    lockWindow_ = nullptr;
    lockWindowX_ = XCB_NONE;
    lockWindowLost_ = false;
    xcb_flush(connection_);
}

xcb_window_t X11DisplayCapture::lockWindowId() const {
    if (lockWindow_ == nullptr || !lockWindow_->isVisible() || lockWindowLost_) {
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

void X11DisplayCapture::grabInput() {
    if (connection_ == nullptr) {
        return;
    }
    grabs_.hold(grabTarget());
    scheduleGrabTick();
}

void X11DisplayCapture::collectGrabs() {
    grabs_.collect();
    scheduleGrabTick();
}

void X11DisplayCapture::tickGrabs() {
    grabs_.tick();
    scheduleGrabTick();
}

void X11DisplayCapture::scheduleGrabTick() {
    const int interval = grabs_.tickInterval();
    if (interval < 0) {
        grabTick_.stop();
    } else {
        grabTick_.start(interval);
    }
}

bool X11DisplayCapture::inputHeld() const {
    return grabs_.held();
}

void X11DisplayCapture::setInputHeldCallback(std::function<void(bool held)> callback) {
    inputHeldCallback_ = std::move(callback);
}

void X11DisplayCapture::reportInputHeld() {
    reportQueued_ = false;
    const bool held = inputHeld();
    if (held != reportedHeld_) {
        reportedHeld_ = held;
        if (inputHeldCallback_) {
            inputHeldCallback_(held);
        }
    }
}

bool X11DisplayCapture::capsLockOn() {
    if (connection_ == nullptr) {
        return false;
    }
    XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr));
    return pointer && (pointer->mask & XCB_MOD_MASK_LOCK) != 0;
}

void X11DisplayCapture::raiseAboveShields(QWidget* window) {
    if (connection_ == nullptr || window == nullptr) {
        return;
    }
    lockWindow_ = window;
    placeLockWindow();
}

void X11DisplayCapture::placeLockWindow() {
    const xcb_window_t lock = lockWindowId();
    lockWindowX_ = lock;
    if (lock == XCB_NONE) {
        return;
    }
    // Qt does not ask for all of these; add them to Qt's own event mask.
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, lock), nullptr));
    if (attributes) {
        const std::uint32_t mask = attributes->your_event_mask | kLockWindowEvents;
        xcb_change_window_attributes(connection_, lock, XCB_CW_EVENT_MASK, &mask);
    }
    XcbReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, lock), nullptr));
    if (geometry) {
        lockRect_ = QRect(geometry->x, geometry->y, geometry->width, geometry->height);
    }
    destroyForeignChildren(lock);
    restack();
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_PARENT, lock, XCB_CURRENT_TIME);
    grabInput(); // moves the grabs onto the lock window
    xcb_flush(connection_);
}

void X11DisplayCapture::remakeLockWindow() {
    if (!lockWindowLost_) {
        return;
    }
    lockWindowLost_ = false;
    QWidget* widget = lockWindow_;
    if (widget == nullptr || shields_.empty()) {
        return;
    }
    // Qt is told to let go of the dead window (the X errors of that are harmless)
    // and shows the widget in a new one.
    widget->hide();
    if (QWindow* handle = widget->windowHandle(); handle != nullptr) {
        handle->destroy();
    }
    widget->show();
    widget->activateWindow();
    placeLockWindow();
}

bool X11DisplayCapture::foreign(xcb_window_t window) const {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    return (window & ~setup->resource_id_mask) != setup->resource_id_base;
}

void X11DisplayCapture::destroyForeignChildren(xcb_window_t parent) {
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, parent), nullptr));
    if (!tree) {
        return;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        if (foreign(children[i])) {
            xcb_destroy_window(connection_, children[i]);
        }
    }
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

bool X11DisplayCapture::restoreOurWindows(const xcb_generic_event_t* event) {
    // Only what the server reports counts: any client may send a made-up
    // DestroyNotify, which would otherwise make a shield leak past the unlock.
    if ((event->response_type & 0x80) != 0) {
        return false;
    }
    const std::uint8_t type = event->response_type;
    // Which of our windows the event is about, and for the structure events, whether
    // it is that window itself (not a child of it).
    xcb_window_t window = XCB_NONE;
    xcb_window_t child = XCB_NONE;
    switch (type) {
    case XCB_UNMAP_NOTIFY:
        window = windowItself<xcb_unmap_notify_event_t>(event);
        break;
    case XCB_DESTROY_NOTIFY:
        window = windowItself<xcb_destroy_notify_event_t>(event);
        break;
    case XCB_CONFIGURE_NOTIFY:
        window = windowItself<xcb_configure_notify_event_t>(event);
        break;
    case XCB_CREATE_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_create_notify_event_t*>(event);
        window = e->parent;
        child = e->window;
        break;
    }
    case XCB_REPARENT_NOTIFY: {
        const auto* e = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
        window = e->event == e->parent ? e->parent : XCB_NONE;
        child = e->window;
        break;
    }
    default:
        return false;
    }
    if (window == XCB_NONE) {
        return false;
    }
    const auto shield =
        std::find_if(shields_.begin(), shields_.end(), [window](const Shield& s) { return s.window() == window; });
    const bool isLockWindow = window == lockWindowX_ && lockWindowX_ != XCB_NONE;
    if (shield == shields_.end() && !isLockWindow) {
        return false;
    }

    if (child != XCB_NONE) {
        // A window of another client inside ours could show anything over the lock.
        if (foreign(child)) {
            xcb_destroy_window(connection_, child);
        }
    } else if (type == XCB_CONFIGURE_NOTIFY) {
        const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
        const QRect now(e->x, e->y, e->width, e->height);
        const QRect wanted = isLockWindow ? lockRect_ : shield->rect();
        if (now == wanted && e->border_width == 0) {
            return true; // a restack, or our own move
        }
        const std::uint32_t geometry[] = {
            static_cast<std::uint32_t>(wanted.x()), static_cast<std::uint32_t>(wanted.y()),
            static_cast<std::uint32_t>(wanted.width()), static_cast<std::uint32_t>(wanted.height()), 0};
        xcb_configure_window(connection_, window,
                             XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                 XCB_CONFIG_WINDOW_HEIGHT | XCB_CONFIG_WINDOW_BORDER_WIDTH,
                             geometry);
    } else if (type == XCB_UNMAP_NOTIFY) {
        // The server ended any grab on it; map it again and take the grabs back.
        grabs_.windowGone(window);
        xcb_map_window(connection_, window);
        if (isLockWindow) {
            xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
        }
    } else if (isLockWindow) { // destroyed: the shields hold the grabs until Qt makes it again
        grabs_.windowGone(window);
        lockWindowX_ = XCB_NONE;
        lockWindowLost_ = true;
        QMetaObject::invokeMethod(this, &X11DisplayCapture::remakeLockWindow, Qt::QueuedConnection);
    } else { // a shield destroyed: a new one in its place
        grabs_.windowGone(window);
        const Monitor monitor{shield->id(), shield->rect()};
        shield->forget();
        shields_.erase(shield);
        mapShield(monitor);
    }
    restack();
    grabInput();
    xcb_flush(connection_);
    return true;
}

bool X11DisplayCapture::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) {
    if (shields_.empty() && lockWindow_ == nullptr) {
        return false; // nothing captured: the common case, kept cheap
    }
    if (eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const QScopedValueRollback inFilter(inEventFilter_, true);
    if (grabs_.handleEvent(event)) {
        scheduleGrabTick();
        return false;
    }
    if (restoreOurWindows(event)) {
        return false;
    }
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
