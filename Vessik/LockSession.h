#pragma once

#include <chrono>
#include <optional>

#include <QtCore/QByteArray>
#include <QtCore/QObject>
#include <QtCore/QTimer>

#include "platform/DisplayCapture.h"
#include "platform/PropertyList.h"
#include "platform/ScreenSaverService.h"

// The state of one lock beyond the delegate's own fields (`isCaptured` and the
// rest keep their meaning): LockScreen.cpp, PasswordEntry.cpp and
// SessionIntegration.cpp drive it, everything else asks it.
//
//   state      meaning
//   Unlocked   no lock in force
//   Acquiring  the screen is covered, but the keyboard and the pointer have not
//              both been held since the lock began: nothing is announced, and a
//              sleep waits (at most kSleepDelayMs)
//   Locked     both have been held since the lock began: the session's locked
//              hint and ActiveChanged(true) are out, a sleep may go ahead
//
//   from       event            to         the delegate then
//   Unlocked   begin()          Acquiring  covers, shows the window; the field waits
//   Acquiring  beganToHold()    Locked     announces the lock, lets a waiting sleep go
//   Acquiring  end()            Unlocked   (a lock that never held is not announced)
//   Locked     end()            Unlocked   announces the end
//
// Beside the state: the settings in force when the lock began (the password
// check falls back on them when the file cannot be read mid-lock), whether the
// lock took input it must wait for, and whether the next wrong entry forces the
// shutdown. The lock-out of a wrong entry is the field's, not the lock's: it
// lasts until its re-enable timer fires, across an unlock and the next lock.
//
// The password field is in one of three states (field()): it waits while the
// lock's input is not held, is locked out after a wrong entry, else it is ready.
class LockSession : public QObject {
    Q_OBJECT
public:
    enum class State { Unlocked, Acquiring, Locked };
    enum class Field { WaitingForInput, LockedOut, Ready };
    using Clock = std::chrono::steady_clock;

    explicit LockSession(QObject* parent = nullptr);
    ~LockSession() override;

    State state() const { return state_; }
    // Whether the lock holds: Locked.
    bool holds() const { return state_ == State::Locked; }

    // Unlocked -> Acquiring. `settings` are those in force now (a lock-out set
    // before, by a resumed lock, is kept in the state handed over); `inputToHold`
    // whether the lock took the keyboard and the pointer (it took none without a
    // display to capture); `lastAttempt` whether the next wrong entry forces the shutdown.
    void begin(PropertyList settings, bool inputToHold, bool lastAttempt);
    // Acquiring -> Locked, when the input is held; true when this call made the lock hold.
    bool beganToHold();
    // Any state -> Unlocked; the lock's settings are wiped.
    void end();

    // The settings in force when the lock began; null while unlocked.
    const PropertyList& settings() const { return settings_; }
    bool lastAttempt() const { return lastAttempt_; }
    void setLastAttempt(bool value) { lastAttempt_ = value; }

    // A wrong entry disabled the field until `ends` (steady clock, the same for
    // every process of the machine since its boot); lockOutEnded() when its timer fired.
    void lockedOutUntil(Clock::time_point ends);
    void lockOutEnded() { lockedOut_ = false; }
    bool lockedOut() const { return lockedOut_; }

    // Whether the lock's input is held now, given whether the display capture holds it.
    bool inputHeld(bool captureHolds) const { return !inputToHold_ || captureHolds; }
    Field field(bool captureHolds) const;

    // The keyboard layout the lock window names under the field for `keyboard`:
    // the active one when the keyboard has more than one or it changed since the
    // lock began (the first state asked for in a lock is its beginning); else none.
    QString layoutToName(const KeyboardState& keyboard);

    // What a Vessik started again needs to resume this lock: its settings, the
    // end of a running lock-out and the idle lock's `inhibitions` of other
    // programs, opaque to everyone else.
    QByteArray handOver(const std::vector<ScreenSaverService::Inhibition>& inhibitions) const;
    // What handOver() of an earlier Vessik says; nothing when it cannot be read.
    struct HandedOver {
        PropertyList settings;
        Clock::time_point lockOutEnds;
        std::vector<ScreenSaverService::Inhibition> inhibitions;
    };
    static std::optional<HandedOver> readHandOver(const QByteArray& state);

    // A sleep waits for this lock to hold, at most `ms`; sleepWaitOver() if it
    // did not by then. stopSleepWait() ends the wait (the lock holds, or the
    // system woke up); an unlock leaves it to its end.
    void sleepWaits(int ms);
    void stopSleepWait() { sleepWait_.stop(); }
    bool sleepWaiting() const { return sleepWait_.isActive(); }

Q_SIGNALS:
    void sleepWaitOver();

private:
    State state_ = State::Unlocked;
    PropertyList settings_;
    bool inputToHold_ = false;
    bool lastAttempt_ = false;
    bool lockedOut_ = false;
    Clock::time_point lockOutEnds_;
    std::optional<QString> layoutAtBegin_;
    QTimer sleepWait_;
};
