#include <vector>

#include "platform/PlatformServices.h"
#include "platform/linux/LogindPowerOff.h"
#include "platform/linux/ProcProcessTable.h"
#include "platform/linux/SyslogLog.h"
#include "platform/x11/X11DisplayCapture.h"

namespace {

// Stand-ins for services whose X11/Linux implementation is not in this build:
// each reports failure and does nothing, as the real one does without X11.
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

class NoPreferencePane : public PreferencePane {
public:
    bool openKeyboardPreferences() override { return false; }
};

} // namespace

PlatformServices makeLinuxPlatform() {
    PlatformServices p;
    p.log = std::make_unique<SyslogLog>();
    p.displays = std::make_unique<X11DisplayCapture>();
    p.hotKeys = std::make_unique<NoHotKeys>();
    p.symbolicHotKeys = std::make_unique<NoSymbolicHotKeys>();
    p.idle = std::make_unique<NoIdleCounter>();
    p.processes = std::make_unique<ProcProcessTable>();
    p.powerOff = std::make_unique<LogindPowerOff>();
    p.preferencePane = std::make_unique<NoPreferencePane>();
    return p;
}
