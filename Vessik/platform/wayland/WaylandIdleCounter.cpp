#include "platform/wayland/WaylandIdleCounter.h"

#include <limits>
#include <wayland-client.h>

#include "ext-idle-notify-v1-client.h"

struct IdleListeners {
    static void idled(void* data, ext_idle_notification_v1*) { static_cast<WaylandIdleCounter*>(data)->idled(true); }
    static void resumed(void* data, ext_idle_notification_v1*) { static_cast<WaylandIdleCounter*>(data)->idled(false); }
    static constexpr ext_idle_notification_v1_listener listener{&idled, &resumed};
};

WaylandIdleCounter::WaylandIdleCounter(std::shared_ptr<WaylandClient> client) : client_(std::move(client)) {}

WaylandIdleCounter::~WaylandIdleCounter() {
    if (notification_ != nullptr) {
        ext_idle_notification_v1_destroy(notification_);
    }
}

std::optional<std::int64_t> WaylandIdleCounter::idleNanoseconds() {
    if (client_->idleNotifier() == nullptr || client_->seat() == nullptr) {
        return std::nullopt;
    }
    if (!idleSince_) {
        return 0; // below the threshold: how far below is not told
    }
    const auto since = std::chrono::steady_clock::now() - *idleSince_;
    return threshold_ * 1'000'000'000 + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

void WaylandIdleCounter::setIdleThreshold(std::int64_t seconds) {
    if (seconds == threshold_ || client_->idleNotifier() == nullptr || client_->seat() == nullptr) {
        return;
    }
    threshold_ = seconds;
    idleSince_.reset();
    if (notification_ != nullptr) {
        ext_idle_notification_v1_destroy(notification_);
        notification_ = nullptr;
    }
    constexpr std::int64_t kLongest = std::numeric_limits<std::uint32_t>::max() / 1000; // the protocol's ms
    if (seconds > 0) {
        notification_ = ext_idle_notifier_v1_get_idle_notification(
            client_->idleNotifier(), static_cast<std::uint32_t>(std::min(seconds, kLongest) * 1000), client_->seat());
        ext_idle_notification_v1_add_listener(notification_, &IdleListeners::listener, this);
        client_->flush();
    }
}

void WaylandIdleCounter::idled(bool idle) {
    if (idle) {
        idleSince_ = std::chrono::steady_clock::now();
    } else {
        idleSince_.reset();
    }
    if (changed_) {
        changed_();
    }
}
