#pragma once

#include <chrono>
#include <memory>

#include "platform/IdleCounter.h"
#include "platform/wayland/WaylandClient.h"

struct ext_idle_notification_v1;

// Idleness on Wayland, from the compositor's idle notifier (ext-idle-notify-v1):
// one notification at the threshold ("InactivityTime"), made again when it
// changes. The compositor honours its idle inhibitors (a browser or a player
// holding one keeps `idled` away). Without the notifier (or a seat) the time
// cannot be read.
class WaylandIdleCounter final : public IdleCounter {
public:
    explicit WaylandIdleCounter(std::shared_ptr<WaylandClient> client);
    ~WaylandIdleCounter() override;

    std::optional<std::int64_t> idleNanoseconds() override;
    void setScreenSaverActivatedCallback(std::function<void()> callback) override { (void)callback; }
    void setIdleThreshold(std::int64_t seconds) override;
    void setIdleChangedCallback(std::function<void()> callback) override { changed_ = std::move(callback); }

private:
    friend struct IdleListeners;
    void idled(bool idle);

    std::shared_ptr<WaylandClient> client_;
    ext_idle_notification_v1* notification_ = nullptr;
    std::int64_t threshold_ = -1;
    std::optional<std::chrono::steady_clock::time_point> idleSince_; // when `idled` came
    std::function<void()> changed_;
};
