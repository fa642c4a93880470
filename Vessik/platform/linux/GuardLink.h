#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>
#include <vector>

#include <QtCore/QObject>
#include <QtCore/QSocketNotifier>
#include <QtCore/QStringList>

#include "common/platform/SystemLog.h"
#include "platform/InputGuard.h"
#include "platform/LockKeeper.h"

// Vessik's side of its guard (vessik-guard in the bundle, keeper/link/GuardProtocol.h):
// a small process without Qt that holds the keyboard and the pointer during
// every lock, hands the keys to this process over the link, keeps a shield of
// its own mapped under Vessik's windows, and when Vessik ends during a lock,
// keeps the screen covered and starts Vessik again with the lock's state.
//
// start() spawns the guard, tied to this process by a socket pair; a guard that
// ends is started again. A Vessik that a guard started adopts that guard's link
// instead (resumedLock() then holds the state it handed over).
class GuardLink : public QObject, public LockKeeper, public InputGuard {
public:
    // `guardPath` is the guard's executable (empty: no guard is ever started);
    // `vessikCommand` is how the guard starts Vessik again (the program, then its
    // arguments). `log` must outlive this object. Adopts the link of a guard that
    // started this process, and reads the state it handed over.
    GuardLink(QString guardPath, QStringList vessikCommand, SystemLog* log);
    // Closes the link: a guard ends with it while no lock is in force.
    ~GuardLink() override;
    GuardLink(const GuardLink&) = delete;
    GuardLink& operator=(const GuardLink&) = delete;

    void start() override;
    std::optional<QByteArray> resumedLock() const override { return resumed_; }
    void lockInForce(const QByteArray& state) override;
    void lockEnded() override;

    bool cover(std::uint32_t resourceBase, std::uint32_t overlay) override;
    void setLockWindow(std::uint32_t window) override;
    void uncover() override { lockEnded(); }
    bool inputHeld() const override { return held_; }
    void readReports() override;
    void setCallbacks(Callbacks callbacks) override { callbacks_ = std::move(callbacks); }

private:
    // Adopts descriptor kGuardLinkFd when the environment says it is a guard's link.
    void adoptInheritedLink();
    void spawn();
    void watch();
    void linkClosed();
    // Overwrites and drops the state handed over at start-up (it holds the password).
    void wipeResumed();

    QString guardPath_;
    QStringList vessikCommand_;
    SystemLog* log_;
    int fd_ = -1;
    pid_t pid_ = 0; // the guard, when this process started it
    bool started_ = false;
    std::vector<std::int64_t> spawnTimes_; // CLOCK_MONOTONIC seconds of recent spawns
    std::unique_ptr<QSocketNotifier> notifier_;
    std::optional<QByteArray> resumed_;
    QByteArray state_; // the lock's state while one is in force, for a guard started during it
    bool inForce_ = false;
    bool held_ = false;
    std::uint32_t lockWindow_ = 0; // the lock window last named to the guard in this lock
    Callbacks callbacks_;
};
