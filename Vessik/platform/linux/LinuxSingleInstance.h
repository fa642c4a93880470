#pragma once

#include <map>
#include <memory>

#include <QtCore/QObject>
#include <QtCore/QSocketNotifier>
#include <QtCore/QTimer>

#include "platform/SingleInstance.h"

// One Vessik per user and display, through a private folder of the user's:
// `KEY.lock`, locked with flock() by the running Vessik (the kernel lets go when
// the process ends, however it ends), and `KEY.socket`, a Unix socket on which it
// takes requests. KEY names the display, so that ":0", ":0.0" and "unix:0" are
// one display and other displays are independent; other users have other folders.
//
// A request is one line ("settings", "lock", "lock-and-wait", "wait"); a
// connection closed without one asks for the settings window. Answers are lines
// too (SingleInstance::Requester).
class LinuxSingleInstance : public QObject, public SingleInstance {
public:
    // `folder` is created (mode 0700) when missing, and must be a folder that
    // belongs to this user and that no one else may enter; otherwise claim()
    // answers Unchecked.
    explicit LinuxSingleInstance(QString folder);
    ~LinuxSingleInstance() override;

    // $XDG_RUNTIME_DIR/vessik, or /tmp/vessik-UID when that variable is unset or
    // not an absolute path.
    static QString defaultFolder();

    Claim claim(const QString& display, QString* why) override;
    void setRequestCallback(RequestCallback callback) override;

    // `Vessik --lock`: asks the Vessik running in `folder` for `display` to lock,
    // and with `waitForUnlock` waits until that lock ends. Blocks; needs no
    // QCoreApplication. A running Vessik that ends before it answers or mid-wait
    // (its guard starts it again) is asked again once it is back.
    struct LockOutcome {
        enum class Result {
            Locked,     // the lock holds (without waiting)
            Unlocked,   // the lock held and has ended (waiting)
            NotRunning, // no Vessik runs for this user and display
            Refused,    // the running Vessik did not lock; `reason` says why
            Lost,       // no answer came; `reason` says what happened
        };
        Result result;
        QString reason;
    };
    static LockOutcome askToLock(const QString& folder, const QString& display, bool waitForUnlock);

private:
    struct Pending; // a connection whose request line has not come yet

    // The part of the file names that names `display`.
    static QString displayKey(const QString& display);
    void acceptRequests();
    void readRequest(int fd);
    void dropPending(int fd);

    QString folder_;
    int lockFd_ = -1;
    int serverFd_ = -1;
    QString socketPath_;
    std::unique_ptr<QSocketNotifier> notifier_;
    RequestCallback callback_;
    std::map<int, std::unique_ptr<Pending>> pending_;
};
