#pragma once

#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusUnixFileDescriptor>

#include "platform/SessionService.h"

class QDBusMessage;

// Vessik's login session through systemd-logind on the system bus: the
// manager's PrepareForSleep signal and its Inhibit("sleep", ..., "delay"), and
// the Lock signal and SetLockedHint of the session object. The session is
// $XDG_SESSION_ID's, else logind's "auto" one (the caller's session, or the
// user's graphical session when the caller runs outside one). The session's
// Unlock signal is not listened to: only the password ends a lock.
//
// Every call to logind is asynchronous with a timeout of `timeoutMs`; answers
// and signals arrive on the main thread. The inhibitor is the descriptor logind
// hands back: holding it delays the sleep, closing it lets the sleep go ahead.
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

private Q_SLOTS:
    // Slots for QDBusConnection::connect, which only takes them by signature.
    void onPrepareForSleep(bool starting);
    void onSessionLock();

private:
    // Sends `call` with the timeout and runs `done` with its answer on the main thread.
    void callLogind(const QDBusMessage& call, const std::function<void(const QDBusMessage& reply)>& done);
    // Logs a failed call, once for each kind of error.
    void logFailure(const QString& method, const QDBusMessage& reply);
    void sendLockedHint();

    QDBusConnection bus_;
    int timeoutMs_;
    Handlers handlers_;
    bool started_ = false;

    QString sessionPath_;               // empty until logind named the session
    std::optional<bool> lockedHint_;    // the hint to send once the session is known
    bool inhibitorWanted_ = false;      // asked for and not released since
    bool inhibitorPending_ = false;     // an Inhibit call awaits its answer
    QDBusUnixFileDescriptor inhibitor_; // invalid while none is held
    QSet<QString> loggedErrors_;
};
