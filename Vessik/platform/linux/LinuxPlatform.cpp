#include <cstdio>
#include <sys/prctl.h>
#include <vector>

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtGui/QGuiApplication>
#include <QtGui/QKeyEvent>

#include "common/platform/linux/SyslogLog.h"
#include "keeper/link/GuardProtocol.h"
#include "platform/PlatformServices.h"
#include "platform/linux/DesktopPreferencePane.h"
#include "platform/linux/FreedesktopScreenSaver.h"
#include "platform/linux/GuardLink.h"
#include "platform/linux/InotifyFileWatch.h"
#include "platform/linux/LinuxSingleInstance.h"
#include "platform/linux/LogindPowerOff.h"
#include "platform/linux/LogindSession.h"
#include "platform/linux/ProcProcessTable.h"
#include "platform/wayland/WaylandClient.h"
#include "platform/wayland/WaylandHotKeys.h"
#include "platform/wayland/WaylandIdleCounter.h"
#include "platform/wayland/WaylandSessionLock.h"
#include "platform/x11/X11.h"
#include "platform/x11/X11DisplayCapture.h"
#include "platform/x11/X11HotKeys.h"
#include "platform/x11/X11IdleCounter.h"
#include "platform/x11/X11SymbolicHotKeys.h"

int askRunningVessikToLock(bool waitForUnlock) {
    using Result = LinuxSingleInstance::LockOutcome::Result;
    const QString display = sessionDisplayName();
    if (display.isEmpty()) {
        std::fputs("vessik: not locked: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n", stderr);
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

bool isWaylandSession() {
    // An X server in a Wayland session (XWayland) covers none of the Wayland
    // windows and holds none of their input: where both are named, Wayland wins.
    return guardlink::waylandSession();
}

QString sessionDisplayName() {
    if (isWaylandSession()) {
        return QStringLiteral("wayland:") + qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    }
    return qEnvironmentVariable("DISPLAY");
}

std::optional<SessionRefusal> sessionRefusal() {
    if (isWaylandSession()) {
        // Asked of the compositor once: the answer does not change within a run.
        static const QString problem = WaylandClient::lockSupportProblem();
        if (!problem.isEmpty()) {
            return SessionRefusal{problem, true};
        }
        return std::nullopt;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        return SessionRefusal{QStringLiteral("Vessik needs an X11 or a Wayland session: there is no display "
                                             "(neither DISPLAY nor WAYLAND_DISPLAY is set), so Vessik cannot lock "
                                             "the screen and does not start."),
                              true};
    }
    if (qGuiApp != nullptr && x11Connection() == nullptr) {
        return SessionRefusal{QStringLiteral("Vessik needs an X11 session on this X display: global hotkeys and "
                                             "locking the screen do not work on \"%1\", so Vessik never locks.")
                                  .arg(QGuiApplication::platformName()),
                              false};
    }
    return std::nullopt;
}

bool isX11Session() {
    return !isWaylandSession() && !sessionRefusal();
}

void showDesktopNotification(const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Vessik") << 0u << QStringLiteral("dialog-warning") << QStringLiteral("Vessik") << text
           << QStringList() << QVariantMap() << -1;
    bus.call(notify, QDBus::Block, 1000);
}

bool makeProcessUndumpable() {
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

namespace {

// The guard: it keeps a lock when Vessik ends and starts Vessik again. None
// where Vessik never locks.
std::unique_ptr<GuardLink> makeGuard(const PlatformServices& p) {
    QStringList vessik = QCoreApplication::arguments();
    if (!vessik.isEmpty()) {
        vessik.front() = QCoreApplication::applicationFilePath();
    }
    return std::make_unique<GuardLink>(
        p.lockRefusal ? QString() : QCoreApplication::applicationDirPath() + QStringLiteral("/vessik-guard"), vessik,
        p.log.get());
}

// The services that do not depend on the display server.
void addCommonServices(PlatformServices& p) {
    p.processes = std::make_unique<ProcProcessTable>();
    p.powerOff = std::make_unique<LogindPowerOff>();
    p.preferencePane = std::make_unique<DesktopPreferencePane>();
    p.instance = std::make_unique<LinuxSingleInstance>(LinuxSingleInstance::defaultFolder());
    if (!p.lockRefusal) { // nothing to offer the session where Vessik never locks
        p.session = std::make_unique<LogindSession>(QDBusConnection::systemBus());
        p.screenSaver = std::make_unique<FreedesktopScreenSaver>(QDBusConnection::sessionBus());
    }
    p.fileWatch = std::make_unique<InotifyFileWatch>();
}

// A Wayland session whose compositor offers the session lock (main has checked).
PlatformServices makeWaylandPlatform() {
    PlatformServices p;
    p.log = std::make_unique<SyslogLog>();
    const std::shared_ptr<WaylandClient> client = WaylandClient::connect();
    if (!client) {
        p.lockRefusal =
            QStringLiteral("Vessik cannot reach the Wayland compositor of this session, so it never locks.");
    }
    p.lockKeeper = makeGuard(p);
    auto hotKeys = std::make_unique<WaylandHotKeys>();
    if (client) {
        auto lock = std::make_unique<WaylandSessionLock>(client);
        WaylandHotKeys* keys = hotKeys.get();
        lock->setKeyFilter([keys, client](const QKeyEvent& event, std::uint32_t keycode) {
            return keys->handleKey(event, keycode, client->keyboard().keymap());
        });
        p.displays = std::move(lock);
        p.idle = std::make_unique<WaylandIdleCounter>(client);
    } else {
        p.displays = std::make_unique<X11DisplayCapture>(nullptr); // captures nothing without X
        p.idle = std::make_unique<X11IdleCounter>(nullptr, XCB_NONE);
    }
    p.hotKeys = std::move(hotKeys);
    p.symbolicHotKeys = std::make_unique<WaylandSymbolicHotKeys>();
    addCommonServices(p);
    return p;
}

} // namespace

PlatformServices makeLinuxPlatform() {
    if (isWaylandSession()) {
        return makeWaylandPlatform();
    }
    PlatformServices p;
    if (std::optional<SessionRefusal> refusal = sessionRefusal()) {
        p.lockRefusal = refusal->reason;
    }
    p.log = std::make_unique<SyslogLog>();
    std::unique_ptr<GuardLink> guard = makeGuard(p);
    p.displays = std::make_unique<X11DisplayCapture>(guard.get());
    p.lockKeeper = std::move(guard);
    // Where Vessik cannot lock, its hotkeys would only take key presses from the
    // X programs of the session: none is registered.
    auto hotKeys = p.lockRefusal ? std::make_unique<X11HotKeys>(nullptr, XCB_NONE)
                                 : std::make_unique<X11HotKeys>(x11Connection(), x11RootWindow());
    p.symbolicHotKeys = std::make_unique<X11SymbolicHotKeys>(hotKeys->ownGrabs());
    p.hotKeys = std::move(hotKeys);
    p.idle = std::make_unique<X11IdleCounter>(x11Connection(), x11RootWindow());
    addCommonServices(p);
    return p;
}
