#pragma once

#include <functional>
#include <optional>

#include <QtCore/QString>

// The login session Vessik runs in, as the system's session manager sees it:
// its requests to lock, its warning before the system sleeps, a delay of that
// sleep while the screen gets locked, and the session's "locked" and "idle" hints.
//
// Every request is asynchronous: its answer, and every handler, runs later on
// the main thread, and nothing waits for the session manager.
class SessionService {
public:
    struct Handlers {
        // The session was asked to lock (`loginctl lock-session`, `lock-sessions`).
        std::function<void()> lock;
        // The system is about to sleep (true), or has woken up (false).
        std::function<void(bool starting)> prepareForSleep;
        // One line for the log when the session manager or Vessik's session cannot
        // be reached; once per kind of problem.
        std::function<void(const QString& line)> log;
    };

    virtual ~SessionService() = default;

    // Starts listening with `handlers` (kept until destruction). Returns why the
    // session manager cannot be reached at all (no system bus), or nothing; the
    // service then does nothing.
    virtual std::optional<QString> start(Handlers handlers) = 0;

    // Asks for an inhibitor that delays the system's sleep, held until
    // releaseSleepInhibitor(). Nothing while one is held or asked for. A refusal
    // is logged and leaves none held.
    virtual void takeSleepInhibitor(const QString& why) = 0;
    // Lets the sleep go ahead: closes the inhibitor held, and drops one still
    // being granted as soon as it arrives. Nothing when none is held.
    virtual void releaseSleepInhibitor() = 0;

    // Tells the session manager whether the session's screen is locked.
    virtual void setLockedHint(bool locked) = 0;
    // Tells the session manager whether the user is idle (its idle action, such
    // as a suspend, and session tools go by it).
    virtual void setIdleHint(bool idle) = 0;
};
