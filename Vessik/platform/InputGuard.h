#pragma once

#include <cstdint>
#include <functional>

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
    // which tells Vessik's windows from other clients'. False when no guard runs;
    // the capture then holds the input itself.
    virtual bool cover(std::uint32_t resourceBase) = 0;
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
    // `held` runs at each report of the guard, `gone` when the guard ended
    // (before another is started); both on the main thread. Null callbacks stop
    // the reports.
    virtual void setCallbacks(std::function<void(bool held)> held, std::function<void()> gone) = 0;
};
