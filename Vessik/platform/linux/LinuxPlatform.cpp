#include <vector>

#include "platform/PlatformServices.h"
#include "platform/linux/SyslogLog.h"

namespace {

// Stand-ins for services whose X11/Linux implementation is not in this build:
// each reports failure and does nothing, as the real one does without X11.
class NoDisplayCapture : public DisplayCapture {
public:
    std::vector<DisplayId> activeDisplays(std::size_t) override { return {}; }
    bool capture(DisplayId) override { return false; }
    void release(DisplayId) override {}
    void raiseAboveShields(QWidget*) override {}
};

class NoHotKeys : public HotKeyService {
public:
    void installEventHandler(HotKeyHandlerFunction, const EventTypeSpec&) override {}
    EventHotKeyRef registerEventHotKey(std::int32_t, std::uint32_t, const EventHotKeyID&) override { return {}; }
};

class NoSymbolicHotKeys : public SymbolicHotKeys {
public:
    bool copySymbolicHotKeys(std::vector<SymbolicHotKey>&) override { return false; }
};

class NoIdleCounter : public IdleCounter {
public:
    std::optional<std::int64_t> idleNanoseconds() override { return std::nullopt; }
};

class NoProcessTable : public ProcessTable {
public:
    std::vector<ProcessInfo> processes() override { return {}; }
    int kill(pid_t, int) override { return 1; }
    pid_t sessionLeader() override { return 0; }
};

class NoPowerOff : public PowerOff {
public:
    std::optional<QString> powerOff() override { return QStringLiteral("power-off is not available"); }
};

class NoPreferencePane : public PreferencePane {
public:
    bool openKeyboardPreferences() override { return false; }
};

} // namespace

PlatformServices makeLinuxPlatform() {
    PlatformServices p;
    p.log = std::make_unique<SyslogLog>();
    p.displays = std::make_unique<NoDisplayCapture>();
    p.hotKeys = std::make_unique<NoHotKeys>();
    p.symbolicHotKeys = std::make_unique<NoSymbolicHotKeys>();
    p.idle = std::make_unique<NoIdleCounter>();
    p.processes = std::make_unique<NoProcessTable>();
    p.powerOff = std::make_unique<NoPowerOff>();
    p.preferencePane = std::make_unique<NoPreferencePane>();
    return p;
}
