#include "platform/x11/X11DisplayCapture.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QScopedValueRollback>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>
#include <QtGui/QRegion>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QWidget>

#include "platform/x11/X11.h"

namespace {

// What a shield reports: being covered, unmapped, moved or destroyed, windows
// created inside it, and what the grab keeper needs while the grabs are on it.
// The lock window adds the same to Qt's own event mask.
constexpr std::uint32_t kShieldEvents = kX11WatchedWindowEvents | X11GrabKeeper::kGrabWindowEvents;

// The most shields kept while monitors come and go during a lock, as many as the
// displays a lock captures.
constexpr std::size_t kMaxDisplays = 100;

X11Rect toX11(const QRect& r) {
    return {static_cast<std::int16_t>(r.x()), static_cast<std::int16_t>(r.y()), static_cast<std::uint16_t>(r.width()),
            static_cast<std::uint16_t>(r.height())};
}

QRect toQt(const X11Rect& r) {
    return {r.x, r.y, r.width, r.height};
}

bool isInput(std::uint8_t type) {
    return type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE || type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE ||
           type == XCB_MOTION_NOTIFY;
}

} // namespace

X11DisplayCapture::Shield::Shield(xcb_connection_t* c, const xcb_screen_t& screen, xcb_window_t parent,
                                  const Monitor& monitor)
    : c_(c), id_(monitor.id), rect_(monitor.rect),
      window_(x11CreateShield(c, screen, parent, toX11(monitor.rect), kShieldEvents)) {
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
    x11PlaceWindow(c_, window_, toX11(rect));
}

X11DisplayCapture::X11DisplayCapture(InputGuard* guard)
    : connection_(x11Connection()), guard_(guard), grabs_(connection_), keyboard_(connection_) {
    grabTick_.setSingleShot(true);
    grabTick_.setTimerType(Qt::PreciseTimer);
    connect(&grabTick_, &QTimer::timeout, this, &X11DisplayCapture::tickGrabs);
    monitorChange_.setSingleShot(true);
    monitorChange_.setInterval(0);
    connect(&monitorChange_, &QTimer::timeout, this, &X11DisplayCapture::followMonitors);
    grabs_.setHeldCallback([this](bool) { inputHeldMayHaveChanged(); });
    if (connection_ == nullptr) {
        return;
    }
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    listsMonitors_ = x11ListsMonitors(connection_);
    hasOverlay_ = x11HasOverlay(connection_);
    if (guard_ != nullptr) {
        // Its reports count at once, also from inside the event filter.
        guard_->setCallbacks({.held = [this](bool) { reportInputHeld(); },
                              .gone = [this] { guardEnded(); },
                              .key = [this](QByteArray& event) { deliverKey(event); }});
    }
    // Installed once for good: a filter installed while Qt runs the filters (a
    // hotkey press that locks) would make Qt hand the same event to another one again.
    qApp->installNativeEventFilter(this);
}

X11DisplayCapture::~X11DisplayCapture() {
    inputHeldCallback_ = nullptr; // its owner may be half destroyed by now
    keyboardChangedCallback_ = nullptr;
    if (guard_ != nullptr) {
        guard_->setCallbacks({});
    }
    if (!shields_.empty() || grabs_.active()) {
        releaseAll();
    }
    if (connection_ != nullptr && qApp != nullptr) {
        qApp->removeNativeEventFilter(this);
    }
}

std::vector<X11DisplayCapture::Monitor> X11DisplayCapture::monitors(std::size_t maxCount) {
    std::vector<Monitor> out;
    if (connection_ == nullptr) {
        return out;
    }
    const X11Screen screen = x11Screen(connection_, *screen_, listsMonitors_, maxCount);
    area_ = toQt(screen.root);
    for (const X11Monitor& m : screen.monitors) {
        out.push_back({m.id, toQt(m.rect)});
    }
    return out;
}

xcb_window_t X11DisplayCapture::home() const {
    return overlay_ != XCB_NONE && protector_ == XCB_NONE ? overlay_ : screen_->root;
}

void X11DisplayCapture::takeOverlay() {
    overlay_ = x11TakeOverlay(connection_, screen_->root);
    if (overlay_ == XCB_NONE) {
        return;
    }
    // Its unmapping or destruction is reported.
    const std::uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, overlay_, XCB_CW_EVENT_MASK, &events);
    if (x11Compositing(connection_, *screen_)) {
        // A compositing manager paints the overlay, over whatever is inside it:
        // our windows stay on the root, where it composites them on top. An empty
        // window the size of the root keeps what another client paints on the
        // overlay out of sight, and lets the manager's own painting through.
        makeProtector();
    }
}

void X11DisplayCapture::makeProtector() {
    // A shield without a background: it paints nothing of its own.
    protector_ = x11CreateShield(connection_, *screen_, overlay_, toX11(area_),
                                 XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY);
    const std::uint32_t none = XCB_BACK_PIXMAP_NONE;
    xcb_change_window_attributes(connection_, protector_, XCB_CW_BACK_PIXMAP, &none);
    xcb_map_window(connection_, protector_);
}

std::vector<DisplayId> X11DisplayCapture::activeDisplays(std::size_t maxCount) {
    // While captured, the list asked last stands until the screens change (the
    // unlock asks for it and releases all the same): no round trip then.
    if (shields_.empty() || !monitorsKnown_ || lastListed_.size() > maxCount) {
        lastListed_ = monitors(maxCount);
        monitorsKnown_ = !shields_.empty();
    }
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
    if (first) {
        // Where the keyboard's focus was, to give it back at the end: the lock
        // window takes it, and a focus that ends with a window may end up nowhere.
        focusAsked_ = xcb_get_input_focus(connection_);
        if (hasOverlay_) {
            takeOverlay(); // held for the whole lock: above it nothing can be shown
        }
        // A guard holds the input of every lock: its grabs outlive this process. It
        // hears of the lock before our shields appear, so that it can tell them from
        // other clients' windows.
        const xcb_window_t overlayHome = home() != screen_->root ? home() : XCB_NONE;
        guardHolds_ = guard_ != nullptr && guard_->cover(xcb_get_setup(connection_)->resource_id_base, overlayHome);
    }
    mapShield(*monitor);
    if (first) {
        std::vector<QRect> listed;
        for (const Monitor& m : lastListed_) {
            listed.push_back(m.rect);
        }
        coverGaps(listed); // the monitors listed are all about to be captured
        watchScreens(true);
        monitorsKnown_ = true;
        if (!guardHolds_) {
            // The grab replies are read later (raiseAboveShields, or the next turn of
            // the event loop), so covering the other monitors does not wait for them.
            grabs_.hold(grabTarget());
            QTimer::singleShot(0, this, &X11DisplayCapture::collectGrabs);
        }
    } else {
        restack();
    }
    xcb_flush(connection_);
}

void X11DisplayCapture::mapShield(const Monitor& monitor) {
    // The monitors' shields come before the gaps', which lie below them.
    const auto firstGap = std::find_if(shields_.begin(), shields_.end(), [](const Shield& s) { return s.gap(); });
    shields_.emplace(monitor.id == Shield::kGap ? shields_.end() : firstGap, connection_, *screen_, home(), monitor);
}

std::vector<QRect> X11DisplayCapture::monitorRects() const {
    std::vector<QRect> rects;
    for (const Shield& s : shields_) {
        if (!s.gap()) {
            rects.push_back(s.rect());
        }
    }
    return rects;
}

void X11DisplayCapture::coverGaps(const std::vector<QRect>& covered) {
    std::erase_if(shields_, [this](const Shield& s) {
        if (s.gap()) {
            grabs_.windowGone(s.window());
        }
        return s.gap();
    });
    QRegion gaps(area_);
    for (const QRect& r : covered) {
        gaps -= r;
    }
    for (const QRect& r : gaps) {
        mapShield({Shield::kGap, r});
    }
}

std::vector<X11DisplayCapture::Shield>::iterator X11DisplayCapture::dropShield(std::vector<Shield>::iterator shield) {
    grabs_.windowGone(shield->window());
    return shields_.erase(shield);
}

void X11DisplayCapture::release(DisplayId display) {
    const auto shield = std::find_if(shields_.begin(), shields_.end(),
                                     [display](const Shield& s) { return s.id() == display && !s.gap(); });
    if (connection_ == nullptr || shields_.empty()) {
        return;
    }
    if (shield != shields_.end()) {
        dropShield(shield);
    }
    // The last display of the caller's list gives everything back, including the
    // shields of monitors that appeared while captured, and those of monitors
    // that went away before the list was asked for.
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
    if (rootMask_) {
        xcb_change_window_attributes(connection_, screen_->root, XCB_CW_EVENT_MASK, &*rootMask_); // Qt's own again
        rootMask_.reset();
    }
    if (guardHolds_) {
        guardHolds_ = false;
        guard_->uncover(); // the lock's own end has told it already, unless it did not
        inputHeldMayHaveChanged();
    }
    grabs_.release();
    giveFocusBack();
    // The lock window goes back to the root before the overlay, and whatever is
    // still inside it, may go.
    if (home() != screen_->root && lockWindow_ != nullptr && lockWindow_->internalWinId() != 0) {
        xcb_reparent_window(connection_, static_cast<xcb_window_t>(lockWindow_->internalWinId()), screen_->root,
                            static_cast<std::int16_t>(lockWindow_->x()), static_cast<std::int16_t>(lockWindow_->y()));
    }
    shields_.clear();
    if (protector_ != XCB_NONE) {
        xcb_destroy_window(connection_, protector_);
        protector_ = XCB_NONE;
    }
    if (overlay_ != XCB_NONE) {
        x11ReleaseOverlay(connection_, screen_->root);
        overlay_ = XCB_NONE;
    }
    lockWindow_ = nullptr;
    lockWindowX_ = XCB_NONE;
    lockWindowLost_ = false;
    monitorsKnown_ = false;
    keyboard_.forget();
    xcb_flush(connection_);
}

void X11DisplayCapture::giveFocusBack() {
    xcb_window_t before = XCB_INPUT_FOCUS_POINTER_ROOT;
    if (focusAsked_) {
        XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(connection_, *focusAsked_, nullptr));
        focusAsked_.reset();
        before = focus && focus->focus != XCB_NONE ? focus->focus : before;
    }
    // The lock window had it: once it is gone, with no window to fall back on, no
    // key would reach anyone. The focus of before, if its window still exists,
    // else the window under the pointer.
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
    if (before != XCB_INPUT_FOCUS_POINTER_ROOT) {
        xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_POINTER_ROOT, before, XCB_CURRENT_TIME);
    }
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
    if (connection_ == nullptr || guardHolds_) {
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
    return guardHolds_ ? guard_->inputHeld() : grabs_.held();
}

void X11DisplayCapture::guardEnded() {
    if (!guardHolds_) {
        return;
    }
    // Its grabs ended with it: this process holds the input for the rest of the lock.
    guardHolds_ = false;
    grabInput();
    xcb_flush(connection_);
    reportInputHeld();
}

void X11DisplayCapture::setInputHeldCallback(std::function<void(bool held)> callback) {
    inputHeldCallback_ = std::move(callback);
}

void X11DisplayCapture::inputHeldMayHaveChanged() {
    // Inside Qt's event filters the owner's callback waits for the event loop.
    if (!inEventFilter_) {
        reportInputHeld();
    } else if (!reportQueued_) {
        reportQueued_ = true;
        QMetaObject::invokeMethod(this, &X11DisplayCapture::reportInputHeld, Qt::QueuedConnection);
    }
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

KeyboardState X11DisplayCapture::keyboardState() {
    return connection_ != nullptr ? keyboard_.state() : KeyboardState{};
}

void X11DisplayCapture::deliverKey(QByteArray& event) {
    if (event.size() != sizeof(xcb_key_press_event_t)) {
        return;
    }
    xcb_key_press_event_t key;
    std::memcpy(&key, event.constData(), sizeof key);
    const std::uint8_t type = key.response_type & 0x7f;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        key.response_type = type; // the server's own, as the guard received it
        // The hotkeys (the shut-down hotkey works during a lock) see it as if Qt had read it.
        qintptr result = 0;
        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        const bool taken = dispatcher != nullptr &&
                           dispatcher->filterNativeEvent(QByteArrayLiteral("xcb_generic_event_t"), &key, &result);
        if (!taken && lockWindow_ != nullptr) {
            if (std::unique_ptr<QKeyEvent> typed = keyboard_.keyEvent(key)) {
                QWidget* target =
                    lockWindow_->focusWidget() != nullptr ? lockWindow_->focusWidget() : lockWindow_.data();
                QCoreApplication::sendEvent(target, typed.get());
            }
        }
    }
    ::explicit_bzero(&key, sizeof key);
}

void X11DisplayCapture::moveLockWindowHome() {
    if (home() == screen_->root || lockWindow_ == nullptr) {
        return;
    }
    // Qt makes its windows on the root; before it maps this one it goes where the shields are.
    xcb_reparent_window(connection_, static_cast<xcb_window_t>(lockWindow_->winId()), home(),
                        static_cast<std::int16_t>(lockWindow_->x()), static_cast<std::int16_t>(lockWindow_->y()));
}

void X11DisplayCapture::showLockWindow(QWidget* window) {
    if (window == nullptr) {
        return;
    }
    if (connection_ != nullptr && !shields_.empty()) {
        lockWindow_ = window;
        moveLockWindowHome();
    }
    window->show();
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
    // The questions in one round trip.
    const xcb_get_window_attributes_cookie_t attributesAsked = xcb_get_window_attributes(connection_, lock);
    const xcb_get_geometry_cookie_t geometryAsked = xcb_get_geometry(connection_, lock);
    const bool watchRoot = home() == screen_->root && !rootMask_;
    const auto rootAsked =
        watchRoot ? std::optional(xcb_get_window_attributes(connection_, screen_->root)) : std::nullopt;
    // Qt does not ask for all of these; add them to Qt's own event mask.
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection_, attributesAsked, nullptr));
    if (attributes) {
        const std::uint32_t mask = attributes->your_event_mask | kShieldEvents;
        xcb_change_window_attributes(connection_, lock, XCB_CW_EVENT_MASK, &mask);
    }
    if (rootAsked) {
        // On the root, every window another client maps or raises makes ours rise
        // at once: a compositing manager reports no visibility.
        XcbReply<xcb_get_window_attributes_reply_t> root(
            xcb_get_window_attributes_reply(connection_, *rootAsked, nullptr));
        rootMask_ = root ? root->your_event_mask : 0;
        const std::uint32_t mask = *rootMask_ | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, screen_->root, XCB_CW_EVENT_MASK, &mask);
    }
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(connection_, geometryAsked, nullptr));
    if (geometry) {
        lockRect_ = QRect(geometry->x, geometry->y, geometry->width, geometry->height);
    }
    destroyForeignChildren(lock);
    // A shield the lock window hides whole needs no background any more: when
    // the window goes at the unlock, the server then does not paint it black
    // just before it goes too.
    for (const Shield& s : shields_) {
        if (lockRect_.contains(s.rect())) {
            const std::uint32_t none = XCB_BACK_PIXMAP_NONE;
            xcb_change_window_attributes(connection_, s.window(), XCB_CW_BACK_PIXMAP, &none);
        }
    }
    restack();
    // The focus makes Qt hand the keys to the window's password field when this
    // process holds the keyboard itself.
    xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_PARENT, lock, XCB_CURRENT_TIME);
    grabInput(); // moves the grabs onto the lock window
    xcb_flush(connection_);
    if (guardHolds_) {
        guard_->setLockWindow(lock);
        guard_->readReports(); // it has answered the cover by now, as a rule
    }
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
    moveLockWindowHome();
    widget->show();
    widget->activateWindow();
    placeLockWindow();
}

void X11DisplayCapture::destroyForeignChildren(xcb_window_t parent) {
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, parent), nullptr));
    if (!tree) {
        return;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        if (x11Foreign(connection_, children[i])) {
            xcb_destroy_window(connection_, children[i]);
        }
    }
}

std::vector<xcb_window_t> X11DisplayCapture::stackedWindows() const {
    // The gaps' shields, then the monitors', then the lock window.
    std::vector<xcb_window_t> ours;
    for (const bool gaps : {true, false}) {
        for (const Shield& s : shields_) {
            if (s.gap() == gaps) {
                ours.push_back(s.window());
            }
        }
    }
    if (const xcb_window_t lock = lockWindowId(); lock != XCB_NONE) {
        ours.push_back(lock);
    }
    return ours;
}

void X11DisplayCapture::restack() {
    const std::uint32_t above = XCB_STACK_MODE_ABOVE;
    for (const xcb_window_t window : stackedWindows()) {
        xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above); // each on top
    }
}

void X11DisplayCapture::putOnTop() {
    restack();
    grabInput(); // the grabs go with the lock window
    xcb_flush(connection_);
}

void X11DisplayCapture::keepOnTop() {
    const std::vector<xcb_window_t> ours = stackedWindows();
    // Our own windows obscure one another too: restack only when some other window
    // is above them, so that restacking never feeds itself.
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, home()), nullptr));
    if (tree) {
        const xcb_window_t* children = xcb_query_tree_children(tree.get()); // bottom to top
        const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
        if (count >= ours.size() && std::equal(ours.begin(), ours.end(), children + (count - ours.size()))) {
            return;
        }
    }
    putOnTop();
}

void X11DisplayCapture::followMonitors() {
    if (connection_ == nullptr || shields_.empty()) {
        return;
    }
    const std::vector<Monitor> now = monitors(kMaxDisplays); // also the root's size now
    // Shields of monitors that went away go; moved monitors take their shield along.
    for (auto it = shields_.begin(); it != shields_.end();) {
        if (it->gap()) {
            ++it;
            continue;
        }
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
    coverGaps(monitorRects());
    if (protector_ != XCB_NONE) {
        x11PlaceWindow(connection_, protector_, toX11(area_));
    }
    putOnTop(); // the grab may have been on a shield that went away
}

void X11DisplayCapture::watchScreens(bool on) {
    for (const QMetaObject::Connection& c : screenConnections_) {
        disconnect(c);
    }
    screenConnections_.clear();
    if (!on || qGuiApp == nullptr) {
        return;
    }
    auto changed = [this] {
        monitorsKnown_ = false;
        monitorChange_.start();
    };
    auto watch = [this, changed](QScreen* screen) {
        screenConnections_.push_back(connect(screen, &QScreen::geometryChanged, this, changed));
        screenConnections_.push_back(connect(screen, &QScreen::virtualGeometryChanged, this, changed));
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

void X11DisplayCapture::restoreProtector(const X11WindowChange& change) {
    switch (change.kind) {
    case X11WindowChange::Unmapped:
        xcb_map_window(connection_, protector_);
        break;
    case X11WindowChange::Destroyed:
        makeProtector();
        break;
    case X11WindowChange::Configured:
        if (change.rect != toX11(area_)) {
            x11PlaceWindow(connection_, protector_, toX11(area_));
        }
        break;
    case X11WindowChange::Reparented:
        if (change.parent != overlay_) {
            xcb_reparent_window(connection_, protector_, overlay_, 0, 0);
        }
        break;
    case X11WindowChange::ChildAdded:
        if (x11Foreign(connection_, change.child)) {
            xcb_destroy_window(connection_, change.child);
        }
        break;
    case X11WindowChange::None:
        break;
    }
    xcb_flush(connection_);
}

void X11DisplayCapture::restoreOverlay(const X11WindowChange& change) {
    if (change.kind == X11WindowChange::Unmapped) {
        xcb_map_window(connection_, overlay_); // everything inside comes back with it
    } else if (change.kind == X11WindowChange::Destroyed && protector_ != XCB_NONE) {
        overlay_ = XCB_NONE; // our windows live on the root: only the empty one went
        protector_ = XCB_NONE;
    } else if (change.kind == X11WindowChange::Destroyed) {
        // Everything inside it went with it: the shields are made again on the
        // root, the lock window follows (its own destruction is reported).
        overlay_ = XCB_NONE;
        std::vector<Monitor> covered;
        for (Shield& s : shields_) {
            grabs_.windowGone(s.window());
            s.forget();
            if (!s.gap()) {
                covered.push_back({s.id(), s.rect()});
            }
        }
        shields_.clear();
        for (const Monitor& m : covered) {
            mapShield(m);
        }
        coverGaps(monitorRects());
    }
}

bool X11DisplayCapture::restoreOurWindows(const xcb_generic_event_t* event) {
    const X11WindowChange change = x11WindowChange(event);
    const xcb_window_t window = change.window;
    if (change.kind == X11WindowChange::None) {
        return false;
    }
    if (window == protector_ && protector_ != XCB_NONE) {
        restoreProtector(change);
        return true;
    }
    if (window == overlay_ && overlay_ != XCB_NONE) {
        restoreOverlay(change);
        putOnTop();
        return true;
    }
    const auto shield =
        std::find_if(shields_.begin(), shields_.end(), [window](const Shield& s) { return s.window() == window; });
    const bool isLockWindow = window == lockWindowX_ && lockWindowX_ != XCB_NONE;
    if (shield == shields_.end() && !isLockWindow) {
        return false;
    }

    if (change.kind == X11WindowChange::ChildAdded) {
        // A window of another client inside ours could show anything over the lock.
        if (x11Foreign(connection_, change.child)) {
            xcb_destroy_window(connection_, change.child);
        }
    } else if (change.kind == X11WindowChange::Configured) {
        const QRect wanted = isLockWindow ? lockRect_ : shield->rect();
        if (change.rect == toX11(wanted) && change.border == 0) {
            return true; // a restack, or our own move
        }
        x11PlaceWindow(connection_, window, toX11(wanted));
    } else if (change.kind == X11WindowChange::Reparented) {
        if (change.parent == home()) {
            return true; // put back, by us
        }
        // Inside another client's window it covers nothing and holds no grab: back
        // home where it was (the server maps it again there).
        grabs_.windowGone(window);
        const X11Rect wanted = toX11(isLockWindow ? lockRect_ : shield->rect());
        xcb_reparent_window(connection_, window, home(), wanted.x, wanted.y);
        if (isLockWindow) {
            xcb_set_input_focus(connection_, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
        }
    } else if (change.kind == X11WindowChange::Unmapped) {
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
    putOnTop();
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
    const std::uint8_t type = event->response_type & 0x7f;
    // Input that another client made up (SendEvent) never reaches the lock: only
    // real input, and the keys the guard hands over its link, do.
    if ((event->response_type & 0x80) != 0 && isInput(type)) {
        return true;
    }
    const QScopedValueRollback inFilter(inEventFilter_, true);
    if (keyboard_.handleEvent(event) && keyboardChangedCallback_ && !keyboardReportQueued_) {
        // From the event loop: the owner asks the server, which it may not do inside Qt's filters.
        keyboardReportQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                keyboardReportQueued_ = false;
                if (keyboardChangedCallback_ && !shields_.empty()) {
                    keyboardChangedCallback_();
                }
            },
            Qt::QueuedConnection);
    }
    if (grabs_.handleEvent(event)) {
        scheduleGrabTick();
        return false;
    }
    if (restoreOurWindows(event)) {
        return false;
    }
    if (rootMask_ && (event->response_type & 0x80) == 0 && (type == XCB_MAP_NOTIFY || type == XCB_CONFIGURE_NOTIFY)) {
        // Both begin with the window that reports and the window it is about.
        const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
        if (e->event == screen_->root && x11Foreign(connection_, e->window)) {
            putOnTop();
        }
        return false;
    }
    if (type != XCB_VISIBILITY_NOTIFY) {
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
