#pragma once

#include <functional>
#include <memory>

#include <QtCore/QString>

// One Vessik per user and display. Two lockers on one display fight over the top
// of the stack, so a later start (an autostart entry and a start by hand, or the
// application menu) asks the running one to open its settings window instead,
// and `Vessik --lock` asks it to lock.
class SingleInstance {
public:
    virtual ~SingleInstance() = default;

    enum class Claim {
        Claimed,   // this process is the one Vessik of its user on the display
        Running,   // another one is; it was asked to open its settings window
        Unchecked, // the check could not be made; this process runs all the same
    };

    // What a later process asks the running Vessik for.
    enum class Request {
        Settings,      // open the settings window (a plain second start)
        Lock,          // lock; answer once the lock holds or is refused
        LockAndWait,   // the same, then answer again when that lock ends
        WaitForUnlock, // answer when no lock is in force (at once if none is)
    };

    // The process that made a request, waiting for its answers. Destroying it
    // ends the conversation: the asking process stops waiting.
    class Requester {
    public:
        virtual ~Requester() = default;
        // Answers, one line at a time (see the lock command's protocol in
        // docs/DESIGN.md): "locked", "unlocked", or "refused: WHY".
        virtual void answer(const QString& line) = 0;
    };
    using RequestCallback = std::function<void(Request, std::unique_ptr<Requester>)>;

    // Tries to make this process the one Vessik of its user on `display` (the X
    // display name, as in $DISPLAY). A claim holds until the object is destroyed
    // or the process ends, however it ends. `why` gets a line for the log for
    // Running and Unchecked (whether the request reached the running one, or what
    // stopped the check), and is left alone for Claimed. Unchecked never stops
    // Vessik: a second locker is better than none.
    virtual Claim claim(const QString& display, QString* why) = 0;

    // After Claimed: `callback` runs on the main thread for each request of a
    // later process. Requests made before it is set wait for it.
    virtual void setRequestCallback(RequestCallback callback) = 0;
};
