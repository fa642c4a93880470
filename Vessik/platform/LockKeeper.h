#pragma once

#include <optional>

#include <QtCore/QByteArray>

// Keeping a lock beyond Vessik's own life. While a lock is in force, a keeper
// outside this process holds the screen covered and the input taken if this
// process ends, however it ends, and starts Vessik again, handing it the state
// that the lock was given last, so that the new Vessik resumes the same lock.
class LockKeeper {
public:
    virtual ~LockKeeper() = default;

    // Gets ready to keep locks (the Linux keeper starts its guard process here, so
    // that a lock never waits for one). Called once, when this process is the one
    // Vessik of its display; does nothing where no lock can be kept.
    virtual void start() = 0;

    // The state handed over when this process was started to resume a lock that
    // was in force when the previous Vessik ended; nothing otherwise, and nothing
    // once that lock has ended (the state is wiped then).
    virtual std::optional<QByteArray> resumedLock() const = 0;

    // A lock is in force. `state` (the guard keeps at most 128 KiB; a larger one
    // leaves the last it kept in place) is what a restarted Vessik will get from resumedLock(); called when the lock
    // begins and again whenever the state changes. (The display capture of a lock
    // tells the keeper of the lock too, so that it is kept from its first moment.)
    virtual void lockInForce(const QByteArray& state) = 0;

    // The lock ended: nothing is kept any more and the state is forgotten. Called
    // before the displays are released, so that nothing holds the input after
    // the unlock. Does nothing when no lock is in force.
    virtual void lockEnded() = 0;
};
