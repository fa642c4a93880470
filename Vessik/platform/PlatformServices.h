#pragma once

#include <memory>
#include <optional>

#include <QtCore/QString>

#include "common/platform/SystemLog.h"
#include "platform/DisplayCapture.h"
#include "platform/FileWatch.h"
#include "platform/HotKeyService.h"
#include "platform/IdleCounter.h"
#include "platform/LockKeeper.h"
#include "platform/PowerOff.h"
#include "platform/PreferencePane.h"
#include "platform/ProcessTable.h"
#include "platform/ScreenSaverService.h"
#include "platform/SessionService.h"
#include "platform/SingleInstance.h"
#include "platform/SymbolicHotKeys.h"

// Every machine service the delegate uses. `main` fills it with the Linux/X11
// implementations (makeLinuxPlatform); tests fill it with fakes.
struct PlatformServices {
    std::unique_ptr<SystemLog> log;
    // Before the displays, which may use it until their end.
    std::unique_ptr<LockKeeper> lockKeeper;
    std::unique_ptr<DisplayCapture> displays;
    std::unique_ptr<HotKeyService> hotKeys;
    std::unique_ptr<SymbolicHotKeys> symbolicHotKeys;
    std::unique_ptr<IdleCounter> idle;
    std::unique_ptr<ProcessTable> processes;
    std::unique_ptr<PowerOff> powerOff;
    std::unique_ptr<PreferencePane> preferencePane;
    std::unique_ptr<SessionService> session;
    std::unique_ptr<ScreenSaverService> screenSaver;
    // Why this desktop session cannot be locked, or nothing: with a reason the
    // delegate never locks and offers nothing to the session.
    std::optional<QString> lockRefusal;
    std::unique_ptr<FileWatch> fileWatch;
    std::unique_ptr<SingleInstance> instance;
};

// Makes the process non-dumpable for the rest of its life: no core file, and no
// other process of the same user may trace it or read its memory (a typed
// password lives there). Returns false when the system refused. Call it first
// thing in main, before anything secret is in memory.
bool makeProcessUndumpable();

// The real services of the desktop session: X11, logind on the system bus and
// the screen-saver service on the session bus. Needs the QGuiApplication to
// exist. In a session that cannot be locked (sessionRefusal) the X11 services
// report failure instead of acting (no displays, no hotkeys, no idle time) where
// there is no X connection, no hotkey is ever registered, and `lockRefusal` says why.
PlatformServices makeLinuxPlatform();

// Whether this is a Wayland session: $WAYLAND_DISPLAY is set, or
// XDG_SESSION_TYPE says so. An XWayland $DISPLAY beside it does not make an X11
// session: Wayland wins. Vessik then locks through the compositor's session lock.
bool isWaylandSession();

// The display this Vessik serves, as the single-instance check and the lock
// command name it: "wayland:NAME" ($WAYLAND_DISPLAY) in a Wayland session, else
// $DISPLAY; empty without either.
QString sessionDisplayName();

// Why Vessik cannot lock this desktop session; the one place that decides.
struct SessionRefusal {
    QString reason; // one line for the log and the screen
    bool noDisplay; // nothing Vessik could lock (no display at all, or a Wayland
                    // compositor without the session lock): the program exits
};
// Nothing in a session Vessik can lock. Decided from the environment, from the
// Wayland compositor's globals (asked once) and, in an X11 session once the
// QGuiApplication exists, from the platform Qt runs on. Callable before the
// QGuiApplication exists.
std::optional<SessionRefusal> sessionRefusal();

// Why the X display cannot be reached, found before the QGuiApplication tries
// (Qt aborts when it cannot connect): nothing when it can, or when there is no
// X display to try. `refused` when the server lives but took no new client (its
// client table is full): a guard starts such a Vessik again later.
struct DisplayProblem {
    QString reason;
    bool refused;
};
std::optional<DisplayProblem> displayProblem();

// True when Vessik can lock this session through X11: not a Wayland session and
// no sessionRefusal(). Everything Vessik does to the X screen and keyboard needs that.
bool isX11Session();

// `vessik --lock`: asks the Vessik of this user and display to lock, and with
// `waitForUnlock` waits until that lock ends. Starts no Vessik. Returns the
// program's exit status (0 locked, or the lock ended; 1 no Vessik runs, the lock
// was refused or no answer came) after one line on standard error for a failure.
int askRunningVessikToLock(bool waitForUnlock);

// Shows `text` as a desktop notification (org.freedesktop.Notifications on the
// session bus) where a notification service runs; nothing elsewhere. Needs a
// QCoreApplication; waits at most a second for the service.
void showDesktopNotification(const QString& text);
