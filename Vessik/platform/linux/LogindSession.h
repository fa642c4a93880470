#pragma once

#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusServiceWatcher>
#include <QtDBus/QDBusUnixFileDescriptor>

#include "platform/SessionService.h"

class QDBusMessage;

// Vessik's login session through systemd-logind on the system bus: the
// manager's PrepareForSleep signal and its Inhibit("sleep", ..., "delay"), and
// the Lock signal, SetLockedHint and SetIdleHint of the session object. The session is
// $XDG_SESSION_ID's, else logind's "auto" one (the caller's session, or the
// user's graphical session when the caller runs outside one). The session's
// Unlock signal is not listened to: only the password ends a lock.
//
// Every call to logind is asynchronous with a timeout of `timeoutMs`; answers
// and signals arrive on the main thread. The inhibitor is the descriptor logind
// hands back: holding it delays the sleep, closing it lets the sleep go ahead.
//
// logind's name is watched: a logind that appears (a restart, an upgrade) gets
// the inhibitor asked for again at once, if one is wanted, is asked for the
// session again, and is told both hints again.
class LogindSession : public QObject, public SessionService {
    Q_OBJECT

public:
    // `bus` is the system bus in the program; tests hand in a connection to a
    // private bus that carries a stand-in logind.
    explicit LogindSession(QDBusConnection bus, int timeoutMs = 5000);

    std::optional<QString> start(Handlers handlers) override;
    void takeSleepInhibitor(const QString& why) override;
    void releaseSleepInhibitor() override;
    void setLockedHint(bool locked) override;
    void setIdleHint(bool idle) override;

private Q_SLOTS:
    // Slots for QDBusConnection::connect, which only takes them by signature.
    void onPrepareForSleep(bool starting);
    void onSessionLock();

private:
    // Asks logind for the session, listens to its Lock signal and sends it the hints.
    void findSession();
    // A new logind owns the name (`owner` empty: none does).
    void logindChanged(const QString& owner);
    void requestInhibitor();
    // Sends `call` with the timeout and runs `done` with its answer on the main thread.
    void callLogind(const QDBusMessage& call, const std::function<void(const QDBusMessage& reply)>& done);
    // Logs a failed call, once for each kind of error.
    void logFailure(const QString& method, const QDBusMessage& reply);
    // Sends one of the session's hints, when its value and the session are known.
    void sendHint(const QString& method, std::optional<bool> value);

    QDBusConnection bus_;
    int timeoutMs_;
    Handlers handlers_;
    bool started_ = false;

    QString sessionPath_;            // empty until logind named the session
    std::optional<bool> lockedHint_; // the hints asked for last, sent once the session is known
    std::optional<bool> idleHint_;
    bool inhibitorWanted_ = false;      // asked for and not released since
    QString why_;                       // what the inhibitor says to the user
    int inhibitorPending_ = 0;          // the Inhibit calls that await their answers
    QDBusUnixFileDescriptor inhibitor_; // invalid while none is held
    QSet<QString> loggedErrors_;
    QDBusServiceWatcher logind_;
};
