#include "platform/wayland/WaylandClient.h"

#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <QtCore/QAbstractEventDispatcher>
#include <QtCore/QCoreApplication>

#include "ext-idle-notify-v1-client.h"
#include "ext-session-lock-v1-client.h"

namespace {

// The versions bound: what the lock needs, never more than the compositor offers.
constexpr std::uint32_t kCompositorVersion = 4; // wl_surface.damage_buffer
constexpr std::uint32_t kSeatVersion = 5;       // wl_keyboard.repeat_info
constexpr std::uint32_t kOutputVersion = 2;     // scale, done

template <typename T>
T* bindGlobal(wl_registry* registry, std::uint32_t name, const wl_interface* interface, std::uint32_t offered,
              std::uint32_t wanted) {
    return static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(offered, wanted)));
}

} // namespace

// The listener tables, one per interface, with the client as their data.
struct WaylandListeners {
    static WaylandClient* client(void* data) { return static_cast<WaylandClient*>(data); }

    static constexpr wl_registry_listener registry{&WaylandClient::registryGlobal,
                                                   &WaylandClient::registryGlobalRemove};

    static void outputGeometry(void* data, wl_output* /*proxy*/, std::int32_t x, std::int32_t y, std::int32_t,
                               std::int32_t, std::int32_t, const char*, const char*, std::int32_t) {
        auto* output = static_cast<WaylandClient::Output*>(data);
        output->geometry.moveTo(x, y);
    }
    static void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
                           std::int32_t) {
        if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
            static_cast<WaylandClient::Output*>(data)->geometry.setSize(QSize(width, height));
        }
    }
    // An output's description is complete: announced the first time. A later
    // change reaches the lock as its surface's configure.
    static void outputDone(void* data, wl_output*) {
        auto* output = static_cast<WaylandClient::Output*>(data);
        if (!output->announced) {
            output->announced = true;
            Q_EMIT output->owner->outputAdded(output);
        }
    }
    static void outputScale(void* data, wl_output*, std::int32_t factor) {
        static_cast<WaylandClient::Output*>(data)->scale = std::max(1, factor);
    }

    static void seatCapabilities(void* data, wl_seat*, std::uint32_t capabilities) {
        client(data)->seatCapabilities(capabilities);
    }
    static void seatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seat{&seatCapabilities, &seatName};

    static void keymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
        client(data)->keymap(format, fd, size);
    }
    static void enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
    static void leave(void* data, wl_keyboard*, std::uint32_t, wl_surface*) { Q_EMIT client(data)->keyboardLeft(); }
    static void key(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
        Q_EMIT client(data)->key(state == WL_KEYBOARD_KEY_STATE_PRESSED, key + 8);
    }
    static void modifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
                          std::uint32_t locked, std::uint32_t group) {
        client(data)->modifiers(depressed, latched, locked, group);
    }
    static void repeatInfo(void* data, wl_keyboard*, std::int32_t rate, std::int32_t delay) {
        client(data)->repeatRate_ = std::max(0, rate);
        client(data)->repeatDelay_ = std::max(0, delay);
    }
    static constexpr wl_keyboard_listener keyboard{&keymap, &enter, &leave, &key, &modifiers, &repeatInfo};
};

std::unique_ptr<WaylandClient> WaylandClient::connect() {
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return nullptr;
    }
    std::unique_ptr<WaylandClient> client(new WaylandClient(display));
    client->registry_ = wl_display_get_registry(display);
    wl_registry_add_listener(client->registry_, &WaylandListeners::registry, client.get());
    // The globals, then what binding them sent (the outputs' modes, the seat's keyboard).
    if (wl_display_roundtrip(display) < 0 || wl_display_roundtrip(display) < 0) {
        return nullptr;
    }
    return client;
}

QString WaylandClient::lockSupportProblem() {
    const QString socket = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return QStringLiteral("Vessik cannot reach the Wayland compositor of this session (%1), so it cannot lock "
                              "the screen and does not start.")
            .arg(socket);
    }
    bool sessionLock = false;
    wl_registry* registry = wl_display_get_registry(display);
    static constexpr wl_registry_listener listener{
        [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
            if (std::strcmp(interface, ext_session_lock_manager_v1_interface.name) == 0) {
                *static_cast<bool*>(data) = true;
            }
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry_add_listener(registry, &listener, &sessionLock);
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    if (!answered) {
        return QStringLiteral("The Wayland compositor of this session (%1) closed the connection; Vessik cannot "
                              "lock the screen and does not start.")
            .arg(socket);
    }
    if (!sessionLock) {
        return QStringLiteral("This Wayland compositor does not offer the session lock (ext-session-lock-v1), "
                              "without which no program but the desktop itself can lock the screen; GNOME's and "
                              "KDE Plasma's compositors lack it. Use the desktop's own screen locker. Vessik does "
                              "not start.");
    }
    return {};
}

WaylandClient::WaylandClient(wl_display* display) : display_(display) {
    notifier_ = std::make_unique<QSocketNotifier>(wl_display_get_fd(display_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, &WaylandClient::readEvents);
    // Requests made from timers and key handlers go out before the loop sleeps.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &WaylandClient::flush);
    }
}

WaylandClient::~WaylandClient() {
    notifier_.reset();
    if (keyboardProxy_ != nullptr) {
        wl_keyboard_destroy(keyboardProxy_);
    }
    for (const std::unique_ptr<Output>& output : outputs_) {
        wl_output_destroy(output->output);
    }
    if (seat_ != nullptr) {
        wl_seat_destroy(seat_);
    }
    if (lockManager_ != nullptr) {
        ext_session_lock_manager_v1_destroy(lockManager_);
    }
    if (idleNotifier_ != nullptr) {
        ext_idle_notifier_v1_destroy(idleNotifier_);
    }
    if (shm_ != nullptr) {
        wl_shm_destroy(shm_);
    }
    if (compositor_ != nullptr) {
        wl_compositor_destroy(compositor_);
    }
    if (registry_ != nullptr) {
        wl_registry_destroy(registry_);
    }
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

bool WaylandClient::alive() const {
    return wl_display_get_error(display_) == 0;
}

void WaylandClient::dispatchPending() {
    wl_display_dispatch_pending(display_);
    if (!alive() && !lostReported_) {
        lostReported_ = true;
        notifier_->setEnabled(false);
        Q_EMIT lost();
    }
}

void WaylandClient::readEvents() {
    while (wl_display_prepare_read(display_) != 0) {
        dispatchPending();
        if (!alive()) {
            return;
        }
    }
    // The notifier said there is something to read: this does not block.
    if (wl_display_read_events(display_) < 0 && !alive()) {
        dispatchPending();
        return;
    }
    dispatchPending();
    flush();
}

void WaylandClient::flush() {
    if (!alive()) {
        return;
    }
    dispatchPending();
    wl_display_flush(display_);
}

void WaylandClient::roundtrip() {
    if (alive()) {
        wl_display_roundtrip(display_);
        dispatchPending();
    }
}

void WaylandClient::registryGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                                   std::uint32_t version) {
    auto* self = static_cast<WaylandClient*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0 && self->compositor_ == nullptr) {
        self->compositor_ =
            bindGlobal<wl_compositor>(registry, name, &wl_compositor_interface, version, kCompositorVersion);
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0 && self->shm_ == nullptr) {
        self->shm_ = bindGlobal<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat_ == nullptr) {
        // The first seat: a desktop session has one.
        self->seat_ = bindGlobal<wl_seat>(registry, name, &wl_seat_interface, version, kSeatVersion);
        self->seatName_ = name;
        wl_seat_add_listener(self->seat_, &WaylandListeners::seat, self);
    } else if (std::strcmp(interface, ext_session_lock_manager_v1_interface.name) == 0) {
        self->lockManager_ =
            bindGlobal<ext_session_lock_manager_v1>(registry, name, &ext_session_lock_manager_v1_interface, version, 1);
    } else if (std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0) {
        self->idleNotifier_ =
            bindGlobal<ext_idle_notifier_v1>(registry, name, &ext_idle_notifier_v1_interface, version, 1);
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
        auto output = std::make_unique<Output>();
        output->name = name;
        output->owner = self;
        output->output = bindGlobal<wl_output>(registry, name, &wl_output_interface, version, kOutputVersion);
        // Bound at version 2: name and description never come.
        static constexpr wl_output_listener listener{.geometry = &WaylandListeners::outputGeometry,
                                                     .mode = &WaylandListeners::outputMode,
                                                     .done = &WaylandListeners::outputDone,
                                                     .scale = &WaylandListeners::outputScale,
                                                     .name = nullptr,
                                                     .description = nullptr};
        wl_output_add_listener(output->output, &listener, output.get());
        self->outputs_.push_back(std::move(output)); // announced at its first `done`
    }
}

void WaylandClient::registryGlobalRemove(void* data, wl_registry* /*registry*/, std::uint32_t name) {
    auto* self = static_cast<WaylandClient*>(data);
    for (auto i = self->outputs_.begin(); i != self->outputs_.end(); ++i) {
        if ((*i)->name == name) {
            Q_EMIT self->outputRemoved(i->get());
            wl_output_destroy((*i)->output);
            self->outputs_.erase(i);
            return;
        }
    }
}

void WaylandClient::seatCapabilities(std::uint32_t capabilities) {
    const bool hasKeyboard = (capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0;
    if (hasKeyboard && keyboardProxy_ == nullptr) {
        keyboardProxy_ = wl_seat_get_keyboard(seat_);
        wl_keyboard_add_listener(keyboardProxy_, &WaylandListeners::keyboard, this);
    } else if (!hasKeyboard && keyboardProxy_ != nullptr) {
        // A keyboard unplugged (or a dock left): the next one brings its own keymap.
        if (wl_keyboard_get_version(keyboardProxy_) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
            wl_keyboard_release(keyboardProxy_);
        } else {
            wl_keyboard_destroy(keyboardProxy_);
        }
        keyboardProxy_ = nullptr;
        Q_EMIT keyboardLeft();
    }
}

void WaylandClient::keymap(std::uint32_t format, int fd, std::uint32_t size) {
    xkb_keymap* map = nullptr;
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
        void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (text != MAP_FAILED) {
            // The text ends with a NUL within `size`; xkb reads up to it.
            map = xkb_keymap_new_from_buffer(keyboard_.context(), static_cast<const char*>(text),
                                             ::strnlen(static_cast<const char*>(text), size), XKB_KEYMAP_FORMAT_TEXT_V1,
                                             XKB_KEYMAP_COMPILE_NO_FLAGS);
            ::munmap(text, size);
        }
    }
    ::close(fd);
    keyboard_.setKeymap(map); // none for no_keymap, or a keymap that did not compile: keys type nothing
    Q_EMIT keyboardChanged();
}

void WaylandClient::modifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked,
                              std::uint32_t group) {
    keyboard_.updateState(depressed, latched, locked, group);
    Q_EMIT keyboardChanged();
}
