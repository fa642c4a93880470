#include <vector>

#include "platform/PlatformServices.h"
#include "platform/linux/DesktopPreferencePane.h"
#include "platform/linux/SyslogLog.h"
#include "platform/x11/X11.h"
#include "platform/x11/X11HotKeys.h"
#include "platform/x11/X11IdleCounter.h"
#include "platform/x11/X11SymbolicHotKeys.h"

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

} // namespace

PlatformServices makeLinuxPlatform() {
    PlatformServices p;
    p.log = std::make_unique<SyslogLog>();
    p.displays = std::make_unique<NoDisplayCapture>();
    auto hotKeys = std::make_unique<X11HotKeys>(x11Connection(), x11RootWindow());
    p.symbolicHotKeys = std::make_unique<X11SymbolicHotKeys>(hotKeys->ownGrabs());
    p.hotKeys = std::move(hotKeys);
    p.idle = std::make_unique<X11IdleCounter>(x11Connection(), x11RootWindow());
    p.processes = std::make_unique<NoProcessTable>();
    p.powerOff = std::make_unique<NoPowerOff>();
    p.preferencePane = std::make_unique<DesktopPreferencePane>();
    return p;
}
