#include <cstdio>
#include <sys/prctl.h>
#include <vector>

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusConnection>

#include "common/platform/linux/SyslogLog.h"
#include "platform/PlatformServices.h"
#include "platform/linux/DesktopPreferencePane.h"
#include "platform/linux/FreedesktopScreenSaver.h"
#include "platform/linux/GuardLink.h"
#include "platform/linux/InotifyFileWatch.h"
#include "platform/linux/LinuxSingleInstance.h"
#include "platform/linux/LogindPowerOff.h"
#include "platform/linux/LogindSession.h"
#include "platform/linux/ProcProcessTable.h"
#include "platform/x11/X11.h"
#include "platform/x11/X11DisplayCapture.h"
#include "platform/x11/X11HotKeys.h"
#include "platform/x11/X11IdleCounter.h"
#include "platform/x11/X11SymbolicHotKeys.h"

int askRunningVessikToLock(bool waitForUnlock) {
    using Result = LinuxSingleInstance::LockOutcome::Result;
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) {
        std::fputs("vessik: not locked: there is no X display (DISPLAY is not set)\n", stderr);
        return 1;
    }
    const LinuxSingleInstance::LockOutcome outcome =
        LinuxSingleInstance::askToLock(LinuxSingleInstance::defaultFolder(), display, waitForUnlock);
    QString message;
    switch (outcome.result) {
    case Result::Locked:
    case Result::Unlocked:
        return 0;
    case Result::NotRunning:
        message = QStringLiteral("not locked: %1 (start Vessik first)").arg(outcome.reason);
        break;
    case Result::Refused:
        message = QStringLiteral("not locked: %1").arg(outcome.reason);
        break;
    case Result::Lost:
        message = outcome.reason;
        break;
    }
    std::fprintf(stderr, "vessik: %s\n", qUtf8Printable(message));
    return 1;
}

bool makeProcessUndumpable() {
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

PlatformServices makeLinuxPlatform() {
    PlatformServices p;
    if (std::optional<SessionRefusal> refusal = sessionRefusal()) {
        p.lockRefusal = refusal->reason;
    }
    p.log = std::make_unique<SyslogLog>();
    // Where Vessik never locks there is no lock to keep: no guard.
    QStringList vessik = QCoreApplication::arguments();
    if (!vessik.isEmpty()) {
        vessik.front() = QCoreApplication::applicationFilePath();
    }
    auto guard = std::make_unique<GuardLink>(
        p.lockRefusal ? QString() : QCoreApplication::applicationDirPath() + QStringLiteral("/vessik-guard"), vessik,
        p.log.get());
    p.displays = std::make_unique<X11DisplayCapture>(guard.get());
    p.lockKeeper = std::move(guard);
    // Where Vessik cannot lock, its hotkeys would only take key presses from the
    // X programs of the session: none is registered.
    auto hotKeys = p.lockRefusal ? std::make_unique<X11HotKeys>(nullptr, XCB_NONE)
                                 : std::make_unique<X11HotKeys>(x11Connection(), x11RootWindow());
    p.symbolicHotKeys = std::make_unique<X11SymbolicHotKeys>(hotKeys->ownGrabs());
    p.hotKeys = std::move(hotKeys);
    p.idle = std::make_unique<X11IdleCounter>(x11Connection(), x11RootWindow());
    p.processes = std::make_unique<ProcProcessTable>();
    p.powerOff = std::make_unique<LogindPowerOff>();
    p.preferencePane = std::make_unique<DesktopPreferencePane>();
    p.instance = std::make_unique<LinuxSingleInstance>(LinuxSingleInstance::defaultFolder());
    if (!p.lockRefusal) { // nothing to offer the session where Vessik never locks
        p.session = std::make_unique<LogindSession>(QDBusConnection::systemBus());
        p.screenSaver = std::make_unique<FreedesktopScreenSaver>(QDBusConnection::sessionBus());
    }
    p.fileWatch = std::make_unique<InotifyFileWatch>();
    return p;
}
