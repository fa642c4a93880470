#include "guard/Guard.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <xcb/randr.h>

#include "guard/GuardSupport.h"
#include "keeper/link/GuardProtocol.h"
#include "keeper/x11/XcbReply.h"

namespace {

using guardlink::Message;

// What the shield selects: everything another client may do to it, what the grab
// keeper needs while the grabs are on it, and exposure for the message.
constexpr std::uint32_t kShieldEvents =
    kX11WatchedWindowEvents | X11GrabKeeper::kGrabWindowEvents | XCB_EVENT_MASK_EXPOSURE;
constexpr std::size_t kMaxMonitors = 100;
// A restarted Vessik that has not shown its lock window by then counts as ended.
constexpr auto kStartTime = std::chrono::seconds(10);
// A Vessik the server refused is started again after this, then twice as long
// each time, but never later than kLongestRetry after its end.
constexpr auto kFirstRetry = std::chrono::milliseconds(50);
constexpr auto kLongestRetry = std::chrono::milliseconds(1000);

// The next packet on `link` without waiting: its bytes, an empty packet when
// none is waiting, nothing when the other end closed the link.
std::optional<std::vector<char>> receive(int link) {
    const ssize_t size = ::recv(link, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0 && (errno == EAGAIN || errno == EINTR)) {
        return std::vector<char>();
    }
    if (size <= 0) {
        return std::nullopt;
    }
    std::vector<char> packet(static_cast<std::size_t>(size));
    if (::recv(link, packet.data(), packet.size(), MSG_DONTWAIT) != size) {
        wipe(packet);
        packet.push_back(0); // not a message: dropped
    }
    return packet;
}

// Hands every packet waiting on `link` to `handle`, then wipes it; `ended` once
// the other end has closed the link.
template <typename Handle> void drainLink(int link, bool& ended, Handle handle) {
    while (!ended && link >= 0) {
        std::optional<std::vector<char>> packet = receive(link);
        if (!packet) {
            ended = true;
            return;
        }
        if (packet->empty()) {
            return;
        }
        handle(*packet);
        wipe(*packet);
    }
}

// A LockState packet's state into `state`, unless it is larger than any state may be.
bool takeLockState(const std::vector<char>& packet, std::vector<char>& state) {
    if (packet.size() - 1 > guardlink::kMaxState) {
        return false;
    }
    wipe(state);
    state.assign(packet.begin() + 1, packet.end());
    return true;
}

// The first u32 of a packet's payload, and the second; 0 where there is none.
std::uint32_t payload(const std::vector<char>& packet, std::size_t index) {
    std::uint32_t value = 0;
    if (packet.size() >= 1 + (index + 1) * sizeof value) {
        std::memcpy(&value, packet.data() + 1 + index * sizeof value, sizeof value);
    }
    return value;
}

} // namespace

Guard::Guard(xcb_connection_t* c, const xcb_screen_t& screen, int link, std::vector<std::string> vessikCommand)
    : c_(c), screen_(screen), listsMonitors_(x11ListsMonitors(c)), hasOverlay_(x11HasOverlay(c)), link_(link),
      command_(std::move(vessikCommand)), grabs_(c) {
    grabs_.setHeldCallback([this](bool) { sendHeld(); });
    if (const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c_, &xcb_randr_id);
        randr != nullptr && randr->present) {
        randrEvent_ = randr->first_event;
    }
    // Ready before any lock, so that covering is a map and two grabs.
    compositing_ = x11Compositing(c_, screen_);
    followMonitors();
    xcb_flush(c_);
}

Guard::~Guard() {
    wipe(lockState_);
    closeLink();
}

Guard::Carried Guard::takeCarried() {
    Carried carried;
    carried.link = std::exchange(link_, -1);
    carried.linkEnded = due_.linkEnded;
    carried.child = std::exchange(child_, 0);
    carried.startDeadline = startDeadline_;
    carried.restartDue = restartDue_;
    carried.restartedEnds = restartedEnds_;
    carried.lockState = std::move(lockState_);
    lockState_.clear();
    carried.lockWindow = lockWindow_;
    carried.coverBase = coverBase_;
    carried.state = state_;
    carried.message = message_;
    return carried;
}

void Guard::carryOn(Carried carried) {
    link_ = carried.link; // already this guard's, from its constructor
    due_.linkEnded = carried.linkEnded;
    child_ = carried.child;
    startDeadline_ = carried.startDeadline;
    restartDue_ = carried.restartDue;
    restartedEnds_ = std::move(carried.restartedEnds);
    wipe(lockState_);
    lockState_ = std::move(carried.lockState);
    lockWindow_ = carried.lockWindow;
    coverBase_ = carried.coverBase;
    message_ = std::move(carried.message);
    if (carried.state == State::Idle) {
        return; // unlocked meanwhile: nothing to cover
    }
    const bool vessikHoldsInput = carried.state == State::Standby || carried.released;
    if (vessikHoldsInput && !due_.linkEnded && carried.state != State::GaveUp) {
        state_ = State::Standby; // it keeps the input of this lock; this guard takes over if it ends
        return;
    }
    // Black on top at once, until the linked Vessik names its lock window.
    cover(carried.state == State::GaveUp ? State::GaveUp : State::Keeping);
    if (state_ == State::GaveUp) {
        prepareMessage();
        drawMessage();
    } else if (link_ >= 0 && !due_.linkEnded) {
        guardlink::send(link_, Message::NameWindow, nullptr, 0);
    }
    due_.place = true;
    xcb_flush(c_);
}

bool Guard::Carried::waitOffline(std::chrono::milliseconds timeout) {
    const bool inForce = state != State::Idle;
    if (inForce && state != State::Standby && !released && !linkEnded && link >= 0) {
        // Vessik lives: it holds the input of this lock itself until the guard is back.
        guardlink::send(link, Message::Released, nullptr, 0);
        released = true;
    }
    pollfd fd{linkEnded ? -1 : link, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(timeout.count())) < 0 && errno != EINTR) {
        return false;
    }
    drainLink(link, linkEnded, [this](const std::vector<char>& packet) {
        switch (static_cast<Message>(packet.front())) {
        case Message::LockState:
            if (takeLockState(packet, lockState)) {
                state = std::max(state, State::Standby);
            }
            break;
        case Message::Cover: // a lock began: Vessik holds its input itself
            coverBase = payload(packet, 0);
            state = std::max(state, State::Standby);
            guardlink::send(link, Message::Released, nullptr, 0);
            released = true;
            break;
        case Message::LockWindow:
            lockWindow = payload(packet, 0);
            break;
        case Message::Unlock:
            wipe(lockState);
            lockWindow = XCB_NONE;
            state = State::Idle;
            released = false;
            break;
        default:
            break;
        }
    });
    return state != State::Idle || !linkEnded;
}

int Guard::run() {
    for (;;) {
        readLink();
        while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c_)}) {
            handleEvent(event.get());
        }
        if (xcb_connection_has_error(c_) != 0) {
            // Another client may close this connection (KillClient on the shield):
            // while a lock is in force and the server lives, the lock is kept on a
            // new connection, once the server takes one. Otherwise the server went
            // away (logout): nothing left to guard.
            return state_ != State::Idle && x11ServerAlive() ? kCarryOn : 0;
        }
        if (due_.linkEnded && !vessikEnded()) {
            return 0;
        }
        const Clock::time_point now = Clock::now();
        if (const auto due = grabs_.tickDue(); due && now >= *due) {
            grabs_.tick();
        }
        if (startDeadline_ && now >= *startDeadline_ && child_ > 0) {
            guardLog("Vessik did not show its lock window within 10 s of its start; ending it.");
            startDeadline_.reset();
            ::kill(child_, SIGKILL); // this guard's own child
        }
        if (restartDue_ && now >= *restartDue_ && link_ < 0) {
            restartDue_.reset();
            restartVessik();
        }
        if (std::exchange(due_.monitors, false)) {
            followMonitors();
        }
        if (std::exchange(due_.place, false)) {
            keepPlace();
        }
        xcb_flush(c_);
        // A round trip above may have queued events: they come before sleeping.
        if (XcbReply<xcb_generic_event_t> event{xcb_poll_for_queued_event(c_)}) {
            handleEvent(event.get());
            continue;
        }
        int timeout = -1;
        for (const auto& due : {grabs_.tickDue(), startDeadline_, restartDue_}) {
            if (due) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
                const int ms = static_cast<int>(std::clamp<decltype(left)>(left, 0, 60000));
                timeout = timeout < 0 ? ms : std::min(timeout, ms);
            }
        }
        pollfd fds[] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {link_, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
            return 1;
        }
    }
}

// ---- The link ---------------------------------------------------------------

void Guard::readLink() {
    drainLink(link_, due_.linkEnded, [this](const std::vector<char>& packet) { handleMessage(packet); });
}

void Guard::handleMessage(const std::vector<char>& packet) {
    switch (static_cast<Message>(packet[0])) {
    case Message::LockState:
        if (takeLockState(packet, lockState_) && state_ == State::Idle) {
            state_ = State::Standby; // the input stays Vessik's own until it sends Cover
        }
        break;
    case Message::Cover:
        vessikBase_ = payload(packet, 0);
        coverBase_ = vessikBase_;
        cover(State::Guarding, payload(packet, 1)); // its state follows at once
        sendHeld();
        break;
    case Message::LockWindow:
        lockWindow_ = payload(packet, 0);
        vessikBase_ = coverBase_;
        startDeadline_.reset(); // a restarted Vessik has taken the lock over
        refusedRestarts_ = 0;
        due_.place = true;
        break;
    case Message::Unlock:
        wipe(lockState_);
        lockWindow_ = XCB_NONE;
        uncover();
        break;
    default:
        break;
    }
}

void Guard::sendHeld() {
    const std::uint8_t held = grabs_.held() ? 1 : 0;
    guardlink::send(link_, Message::InputHeld, &held, 1);
}

void Guard::closeLink() {
    if (link_ >= 0) {
        ::close(link_);
        link_ = -1;
    }
    due_.linkEnded = false;
}

bool Guard::vessikEnded() {
    closeLink();
    int status = 0;
    const bool restarted = child_ > 0;
    if (restarted) {
        // Its end of the link closed as it was ending; one that hangs in its teardown
        // must not hold this guard up. One that has exited keeps its status.
        ::kill(child_, SIGKILL); // this guard's own child
        ::waitpid(child_, &status, 0);
        child_ = 0;
    }
    startDeadline_.reset();
    vessikBase_.reset();
    coverBase_.reset();
    lockWindow_ = XCB_NONE;
    if (state_ == State::Idle) {
        return false; // unlocked, or quit: nothing changes on the screen
    }
    // Cover first: Vessik's windows are gone, the shield takes the top and paints it black.
    cover(State::Keeping);
    keepPlace();
    xcb_flush(c_);
    // Vessik may have ended because the X server is going away: no new Vessik then.
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    if (xcb_connection_has_error(c_) != 0) {
        return false;
    }
    const Clock::time_point now = Clock::now();
    const bool refused = restarted && WIFEXITED(status) && WEXITSTATUS(status) == guardlink::kExitDisplayRefused;
    if (refused) {
        // The server lives but took no new client (its client table is full):
        // not an end of Vessik's own. It is started again a little later.
        if (refusedRestarts_ == 0) {
            guardLog("The X server refuses new clients; Vessik is started again as soon as it takes one.");
        }
        restartDue_ =
            now + std::min<Clock::duration>(kFirstRetry * (1 << std::min(refusedRestarts_, 5)), kLongestRetry);
        ++refusedRestarts_;
        return true;
    }
    if (restarted && restartedEnds_.tooMany(now)) {
        giveUp(RestartedEnds::kTooMany);
    } else {
        restartVessik();
    }
    return true;
}

void Guard::restartVessik() {
    if (command_.empty()) {
        giveUp("there is no Vessik to start");
        return;
    }
    // The state waits on the link for the new Vessik.
    const guardlink::Peer vessik = guardlink::startAgain(command_, lockState_);
    if (vessik.pid == 0) {
        giveUp("cannot start " + command_[0] + ": " + std::strerror(vessik.error));
        return;
    }
    link_ = vessik.link;
    child_ = vessik.pid;
    startDeadline_ = Clock::now() + kStartTime;
    if (refusedRestarts_ == 0) {
        guardLog("Vessik ended during a lock; the lock is kept and Vessik started again (pid " +
                 std::to_string(child_) + ").");
    }
}

void Guard::giveUp(const std::string& why) {
    state_ = State::GaveUp;
    closeLink();
    wipe(lockState_);
    const std::string pid = std::to_string(::getpid());
    const passwd* user = ::getpwuid(::getuid());
    const std::string name = user != nullptr ? user->pw_name : std::to_string(::getuid());
    message_ = {
        "Vessik could not be started again, so the screen stays locked.",
        "To end the lock, switch to a text console (Ctrl+Alt+F2, or another F key),",
        "log in as " + name + (::getuid() == 0 ? "" : " (or root)") + " and run:",
        "",
        "kill " + pid,
    };
    guardLog("The lock is kept, but " + why + "; to end it, log in on a text console and run: kill " + pid);
    if (gc_ == XCB_NONE) {
        prepareMessage();
    }
    drawMessage();
    due_.place = true;
}

// ---- The screen ---------------------------------------------------------------

void Guard::handleEvent(const xcb_generic_event_t* event) {
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        forwardKey(event);
        return;
    }
    if (randrEvent_ != 0 &&
        (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randrEvent_ + XCB_RANDR_NOTIFY)) {
        due_.monitors = covered();
        return;
    }
    if (!covered()) {
        return;
    }
    if (grabs_.handleEvent(event)) {
        return;
    }
    if (type == XCB_EXPOSE && state_ == State::GaveUp) {
        const auto* e = reinterpret_cast<const xcb_expose_event_t*>(event);
        if (e->window == shield_ && e->count == 0) {
            drawMessage();
        }
        return;
    }
    const X11WindowChange change = x11WindowChange(event);
    if (change.kind != X11WindowChange::None && overlay_ != XCB_NONE && change.window == overlay_) {
        restoreOverlay(change);
        return;
    }
    if (change.kind != X11WindowChange::None && change.window == shield_) {
        restoreShield(change);
        return;
    }
    const bool fromServer = (event->response_type & 0x80) == 0;
    if (fromServer && type == XCB_DESTROY_NOTIFY && lockWindow_ != XCB_NONE &&
        reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window == lockWindow_) {
        // The lock window's id, and when Vessik's X client was killed its whole
        // resource base, may be another client's next: no key goes there and no
        // window counts as Vessik's until Vessik names its new lock window. The
        // shield paints the cover meanwhile.
        lockWindow_ = XCB_NONE;
        vessikBase_.reset();
        cover(State::Keeping);
        return;
    }
    // Any window mapped, moved in the stack or changed where the shield lives may now be above it.
    if (fromServer && (type == XCB_MAP_NOTIFY || type == XCB_CONFIGURE_NOTIFY || type == XCB_CIRCULATE_NOTIFY)) {
        due_.place = true;
    }
}

void Guard::forwardKey(const xcb_generic_event_t* event) {
    // Only what the server reports while the grab is ours; never while given up.
    // Also before Vessik names its lock window: its hotkeys see every key, and
    // the release of a hotkey's key must not get lost.
    if ((event->response_type & 0x80) != 0 || state_ == State::GaveUp || link_ < 0) {
        return;
    }
    // Over the link, which only Vessik and this guard share: no other client can
    // put a key there, and Vessik takes none that another client sends it.
    guardlink::send(link_, Message::Key, event, sizeof(xcb_key_press_event_t));
}

void Guard::restoreShield(const X11WindowChange& change) {
    switch (change.kind) {
    case X11WindowChange::ChildAdded:
        // A window of another client inside ours could show anything over the lock.
        if (x11Foreign(c_, change.child)) {
            xcb_destroy_window(c_, change.child);
        }
        return;
    case X11WindowChange::Configured:
        if (change.rect != rootRect_ || change.border != 0) {
            x11PlaceWindow(c_, shield_, rootRect_);
        }
        due_.place = true;
        return;
    case X11WindowChange::Unmapped:
        grabs_.windowGone(shield_);
        xcb_map_window(c_, shield_);
        break;
    case X11WindowChange::Reparented:
        if (change.parent == home()) {
            return; // put back, by us
        }
        grabs_.windowGone(shield_);
        xcb_reparent_window(c_, shield_, home(), rootRect_.x, rootRect_.y);
        break;
    case X11WindowChange::Destroyed:
        grabs_.windowGone(shield_);
        shield_ = newShield();
        xcb_map_window(c_, shield_);
        break;
    case X11WindowChange::None:
        return;
    }
    if (state_ == State::GaveUp) {
        drawMessage();
    }
    holdInput();
    due_.place = true;
}

void Guard::restoreOverlay(const X11WindowChange& change) {
    if (change.kind == X11WindowChange::Unmapped) {
        xcb_map_window(c_, overlay_); // the shield comes back with it
    } else if (change.kind == X11WindowChange::Destroyed) {
        // The shield went with it: a new one on the root.
        overlay_ = XCB_NONE;
        grabs_.windowGone(shield_);
        shield_ = newShield();
        const std::uint32_t watch = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, screen_.root, XCB_CW_EVENT_MASK, &watch);
        xcb_map_window(c_, shield_);
        if (state_ == State::GaveUp) {
            drawMessage();
        }
        holdInput();
    }
    due_.place = true;
}

bool Guard::covered() const {
    return state_ == State::Guarding || state_ == State::Keeping || state_ == State::GaveUp;
}

bool Guard::shieldBlack() const {
    return compositing_ || state_ == State::Keeping || state_ == State::GaveUp;
}

xcb_window_t Guard::home() const {
    return overlay_ != XCB_NONE ? overlay_ : screen_.root;
}

void Guard::enterOverlay(xcb_window_t overlay) {
    // Under a compositing manager, which paints the overlay itself, the shield stays on the root.
    if (!hasOverlay_ || overlay_ != XCB_NONE || compositing_) {
        return;
    }
    if (overlay != XCB_NONE) {
        x11HoldOverlay(c_, screen_.root); // Vessik holds it already: no need to wait
        overlay_ = overlay;
    } else {
        overlay_ = x11TakeOverlay(c_, screen_.root);
    }
    if (overlay_ != XCB_NONE) {
        xcb_reparent_window(c_, shield_, overlay_, rootRect_.x, rootRect_.y);
    }
}

void Guard::cover(State to, xcb_window_t overlay) {
    const bool wasCovered = covered();
    const bool wasBlack = shieldBlack();
    // The states run Idle, Standby, Guarding, Keeping, GaveUp: covering only ever
    // moves forward, and only an unlock goes back to Idle.
    state_ = std::max(state_, to);
    if (!wasCovered) {
        enterOverlay(overlay);
    }
    if (shieldBlack() != wasBlack) {
        paintShield(); // before it is mapped
    }
    if (!wasCovered) {
        // Map and grab first; the monitors and the stacking order are checked after.
        xcb_map_window(c_, shield_);
        holdInput();
        // What other windows do where the shield lives, and the overlay itself.
        const std::uint32_t watch =
            XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | (overlay_ != XCB_NONE ? XCB_EVENT_MASK_STRUCTURE_NOTIFY : 0);
        xcb_change_window_attributes(c_, home(), XCB_CW_EVENT_MASK, &watch);
        if (randrEvent_ != 0) {
            xcb_randr_select_input(c_, screen_.root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
        xcb_flush(c_);
        followMonitors();
        grabs_.collect();
    }
    due_.place = true;
}

xcb_window_t Guard::newShield() {
    const xcb_window_t window = x11CreateShield(c_, screen_, home(), rootRect_, kShieldEvents);
    if (!shieldBlack() && !covered()) { // a shield mapped during a lock paints itself
        const std::uint32_t none = XCB_BACK_PIXMAP_NONE;
        xcb_change_window_attributes(c_, window, XCB_CW_BACK_PIXMAP, &none);
    }
    return window;
}

void Guard::paintShield() {
    if (shieldBlack()) {
        xcb_change_window_attributes(c_, shield_, XCB_CW_BACK_PIXEL, &screen_.black_pixel);
        xcb_clear_area(c_, 0, shield_, 0, 0, 0, 0); // no-op while unmapped
    } else {
        const std::uint32_t none = XCB_BACK_PIXMAP_NONE;
        xcb_change_window_attributes(c_, shield_, XCB_CW_BACK_PIXMAP, &none);
    }
}

void Guard::uncover() {
    const bool wasCovered = covered();
    const bool wasBlack = shieldBlack();
    state_ = State::Idle;
    if (wasCovered) {
        grabs_.release();
        const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(c_, home(), XCB_CW_EVENT_MASK, &none);
        if (randrEvent_ != 0) {
            xcb_randr_select_input(c_, screen_.root, 0);
        }
        xcb_unmap_window(c_, shield_);
    }
    if (overlay_ != XCB_NONE) {
        // The shield leaves the overlay before this guard's reference does: the
        // overlay, and whatever is inside it, goes when the last reference does.
        xcb_reparent_window(c_, shield_, screen_.root, rootRect_.x, rootRect_.y);
        x11ReleaseOverlay(c_, screen_.root);
        overlay_ = XCB_NONE;
    }
    compositing_ = x11Compositing(c_, screen_);
    if (shieldBlack() != wasBlack) {
        paintShield();
    }
    xcb_flush(c_);
}

void Guard::followMonitors() {
    const X11Screen now = x11Screen(c_, screen_, listsMonitors_, kMaxMonitors);
    monitors_ = now.monitors;
    if (shield_ == XCB_NONE) {
        rootRect_ = now.root;
        shield_ = newShield();
    } else if (now.root != rootRect_) {
        rootRect_ = now.root; // the framebuffer was resized: the shield follows the root, whatever the monitors
        x11PlaceWindow(c_, shield_, rootRect_);
    }
    if (covered()) {
        holdInput();
        due_.place = true;
        if (state_ == State::GaveUp) {
            drawMessage();
        }
    }
}

void Guard::keepPlace() {
    if (!covered()) {
        return;
    }
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, home()), nullptr));
    if (!tree) {
        return;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get()); // bottom to top
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (int i = 0; i < count; ++i) {
        cookies.push_back(xcb_get_window_attributes(c_, children[i]));
    }
    std::vector<bool> shown(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        XcbReply<xcb_get_window_attributes_reply_t> a(
            xcb_get_window_attributes_reply(c_, cookies[static_cast<std::size_t>(i)], nullptr));
        shown[static_cast<std::size_t>(i)] =
            a && a->map_state == XCB_MAP_STATE_VIEWABLE && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
    }
    const auto isVessik = [&](int i) {
        return shown[static_cast<std::size_t>(i)] && vessikBase_ && x11CreatedBy(c_, *vessikBase_, children[i]);
    };
    // From the top, over what shows nothing: the linked Vessik's windows (what
    // is above them is Vessik's to deal with), then the shield.
    int i = count - 1;
    xcb_window_t anchor = XCB_NONE;
    int first = i;
    while (first >= 0 && !isVessik(first)) {
        --first;
    }
    for (; first >= 0 && (isVessik(first) || !shown[static_cast<std::size_t>(first)]); --first) {
        anchor = isVessik(first) ? children[first] : anchor;
        i = first - 1;
    }
    while (i >= 0 && !shown[static_cast<std::size_t>(i)]) {
        --i;
    }
    if (i >= 0 && children[i] == shield_) {
        return; // in place
    }
    if (anchor != XCB_NONE) {
        const std::uint32_t below[] = {anchor, XCB_STACK_MODE_BELOW};
        xcb_configure_window(c_, shield_, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, below);
    } else {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(c_, shield_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    }
    holdInput();
}

void Guard::holdInput() {
    if (covered() && shield_ != XCB_NONE) {
        grabs_.hold(shield_);
    }
}

void Guard::prepareMessage() {
    // The server always has the core font "fixed"; a larger one where there is one.
    const xcb_font_t font = xcb_generate_id(c_);
    for (const char* name : {"10x20", "9x15", "fixed"}) {
        XcbReply<xcb_generic_error_t> error(xcb_request_check(
            c_, xcb_open_font_checked(c_, font, static_cast<std::uint16_t>(std::strlen(name)), name)));
        if (!error) {
            break;
        }
    }
    int charWidth = 6;
    int ascent = 10;
    int height = 13;
    if (XcbReply<xcb_query_font_reply_t> info(xcb_query_font_reply(c_, xcb_query_font(c_, font), nullptr)); info) {
        charWidth = std::max<int>(1, info->max_bounds.character_width);
        ascent = info->font_ascent;
        height = std::max(1, info->font_ascent + info->font_descent);
    }
    gc_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {screen_.white_pixel, screen_.black_pixel, font};
    xcb_create_gc(c_, gc_, screen_.root, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, values);
    xcb_close_font(c_, font);

    // Each line is drawn once at the font's size and shown as blocks of pixels,
    // so that it can be read on a large screen whatever fonts the server has.
    scale_ = std::max(1, 26 / height);
    lineHeight_ = (height + 4) * scale_;
    std::size_t longest = 0;
    for (const std::string& line : message_) {
        longest = std::max(longest, std::min<std::size_t>(line.size(), 255));
    }
    const auto width = static_cast<std::uint16_t>(std::max<std::size_t>(1, longest * charWidth));
    const xcb_pixmap_t canvas = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen_.root_depth, canvas, screen_.root, width, static_cast<std::uint16_t>(height));
    int bytesPerPixel = 4;
    for (auto f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c_)); f.rem > 0; xcb_format_next(&f)) {
        if (f.data->depth == screen_.root_depth) {
            bytesPerPixel = std::max(1, f.data->bits_per_pixel / 8);
        }
    }
    glyphs_.clear();
    for (const std::string& line : message_) {
        const auto length = static_cast<std::uint8_t>(std::min<std::size_t>(line.size(), 255));
        // Image text paints its background (black) behind each character cell.
        const std::string padded = line.substr(0, length) + std::string(longest - length, ' ');
        xcb_image_text_8(c_, static_cast<std::uint8_t>(padded.size()), canvas, gc_, 0,
                         static_cast<std::int16_t>(ascent), padded.c_str());
        XcbReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
            c_,
            xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, canvas, 0, 0, width, static_cast<std::uint16_t>(height), ~0U),
            nullptr));
        Glyphs glyphs{static_cast<int>(length) * charWidth * scale_, {}};
        if (image) {
            const std::uint8_t* data = xcb_get_image_data(image.get());
            const int stride = xcb_get_image_data_length(image.get()) / height;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width && (x + 1) * bytesPerPixel <= stride; ++x) {
                    std::uint32_t pixel = 0;
                    std::memcpy(&pixel, data + y * stride + x * bytesPerPixel,
                                static_cast<std::size_t>(std::min(bytesPerPixel, 4)));
                    if (pixel != screen_.black_pixel) {
                        glyphs.blocks.push_back(
                            {static_cast<std::int16_t>(x * scale_), static_cast<std::int16_t>(y * scale_),
                             static_cast<std::uint16_t>(scale_), static_cast<std::uint16_t>(scale_)});
                    }
                }
            }
        }
        glyphs_.push_back(std::move(glyphs));
    }
    xcb_free_pixmap(c_, canvas);
}

void Guard::drawMessage() {
    if (gc_ == XCB_NONE) {
        return;
    }
    xcb_clear_area(c_, 0, shield_, 0, 0, 0, 0);
    // On every monitor large enough to read it on, or in the middle of the root.
    std::vector<X11Rect> places;
    for (const X11Monitor& monitor : monitors_) {
        const X11Rect& m = monitor.rect;
        if (m.width >= 640 && m.height >= 480 && m.x >= rootRect_.x && m.y >= rootRect_.y &&
            m.x + m.width <= rootRect_.x + rootRect_.width && m.y + m.height <= rootRect_.y + rootRect_.height) {
            places.push_back(m);
        }
    }
    if (places.empty()) {
        places.push_back(rootRect_);
    }
    for (const X11Rect& m : places) {
        int top = m.y - rootRect_.y + (m.height - static_cast<int>(glyphs_.size()) * lineHeight_) / 2;
        for (const Glyphs& line : glyphs_) {
            const int left = m.x - rootRect_.x + std::max(0, (m.width - line.width) / 2);
            std::vector<xcb_rectangle_t> blocks = line.blocks;
            for (xcb_rectangle_t& block : blocks) {
                block.x = static_cast<std::int16_t>(block.x + left);
                block.y = static_cast<std::int16_t>(block.y + top);
            }
            xcb_poly_fill_rectangle(c_, shield_, gc_, static_cast<std::uint32_t>(blocks.size()), blocks.data());
            top += lineHeight_;
        }
    }
}
