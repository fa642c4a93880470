#pragma once

#include <cstdint>
#include <functional>

#include <QtCore/QByteArray>

// What a display capture asks of the process that keeps a lock beyond Vessik's
// own life (the guard): during every lock it covers the screen under Vessik's
// windows and holds the keyboard and the pointer, so that neither is ever free
// if Vessik ends. The lock keeper of the platform (LockKeeper) implements it;
// the capture sees nothing else of it.
class InputGuard {
public:
    virtual ~InputGuard() = default;

    // A lock begins: the guard covers the screen and takes the input.
    // `resourceBase` is the resource id base of Vessik's own display connection,
    // which tells Vessik's windows from other clients'; `overlay` the window
    // Vessik's windows live in when that is not the root (0). False when no guard
    // runs; the capture then holds the input itself.
    virtual bool cover(std::uint32_t resourceBase, std::uint32_t overlay) = 0;
    // The lock window, where the guard sends the keys it receives.
    virtual void setLockWindow(std::uint32_t window) = 0;
    // The lock ended (the capture released its last display): the guard gives the
    // input back and uncovers. Nothing when no lock is in force.
    virtual void uncover() = 0;

    // Whether the guard reported both the keyboard and the pointer held since the last cover().
    virtual bool inputHeld() const = 0;
    // Reads what the guard has reported so far, without waiting; the `held`
    // callback runs for each report.
    virtual void readReports() = 0;
    // The guard's reports, all on the main thread: `held` at each report of the
    // input held, `gone` when the guard ended (before another is started), `key`
    // for each key the guard received while it held the keyboard (the display
    // server's own event, as it came; the callee wipes it). Null callbacks stop them.
    struct Callbacks {
        std::function<void(bool held)> held;
        std::function<void()> gone;
        std::function<void(QByteArray& event)> key;
    };
    virtual void setCallbacks(Callbacks callbacks) = 0;
};
