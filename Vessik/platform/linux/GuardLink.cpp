#include "platform/linux/GuardLink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <QtCore/QFile>

#include "keeper/link/GuardProtocol.h"

extern char** environ;

#include "common/platform/linux/SystemError.h"

namespace {

using guardlink::Message;

// A guard that keeps ending is started again at most this often a minute.
constexpr std::size_t kSpawnsPerMinute = 5;

std::int64_t monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Overwrites `bytes` (the lock's state holds the password) and empties it.
void wipe(QByteArray& bytes) {
    if (!bytes.isEmpty()) {
        ::explicit_bzero(bytes.data(), static_cast<std::size_t>(bytes.size()));
    }
    bytes = QByteArray();
}

} // namespace

GuardLink::GuardLink(QString guardPath, QStringList vessikCommand, SystemLog* log)
    : guardPath_(std::move(guardPath)), vessikCommand_(std::move(vessikCommand)), log_(log) {
    adoptInheritedLink();
}

GuardLink::~GuardLink() {
    notifier_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
    }
    wipe(state_);
    wipeResumed();
    // The guard ends with the link; it is re-parented and reaped by whoever takes it.
}

void GuardLink::adoptInheritedLink() {
    const QByteArray variable = qgetenv(guardlink::kGuardLinkVariable);
    if (variable.isEmpty()) {
        return;
    }
    qunsetenv(guardlink::kGuardLinkVariable); // not for the programs this one starts
    const int fd = guardlink::kGuardLinkFd;
    if (variable != QByteArray::number(fd) || !guardlink::adoptInheritedLink()) {
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    // The guard wrote the state before it started this process.
    std::vector<char> packet(guardlink::kMaxPacket);
    const ssize_t n = ::recv(fd_, packet.data(), packet.size(), 0);
    if (n >= 1 && static_cast<Message>(packet[0]) == Message::Resume) {
        resumed_ = QByteArray(packet.data() + 1, n - 1);
    }
    ::explicit_bzero(packet.data(), packet.size());
    watch();
}

void GuardLink::start() {
    started_ = !guardPath_.isEmpty();
    if (started_ && fd_ < 0) {
        spawn();
    }
}

void GuardLink::spawn() {
    const std::int64_t now = monotonicSeconds();
    std::erase_if(spawnTimes_, [now](std::int64_t t) { return now - t >= 60; });
    if (spawnTimes_.size() >= kSpawnsPerMinute) {
        log_->log(QStringLiteral("The guard of the lock keeps ending; it is not started again. A lock now ends "
                                 "when Vessik does."));
        return;
    }
    spawnTimes_.push_back(now);

    const QByteArray program = QFile::encodeName(guardPath_);
    std::vector<QByteArray> arguments{program};
    for (const QString& argument : vessikCommand_) {
        arguments.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    // A session of its own: a terminal's hang-up or Ctrl+C that ends Vessik spares the guard.
    const guardlink::Peer guard = guardlink::start(argv.data(), environ, true);
    if (guard.pid == 0) {
        log_->log(QStringLiteral("Cannot start the guard of the lock (%1): %2; a lock ends when Vessik does.")
                      .arg(guardPath_, systemErrorText(guard.error)));
        return;
    }
    fd_ = guard.link;
    pid_ = guard.pid;
    held_ = false;
    watch();
    // A guard started during a lock keeps it if Vessik ends; the input stays Vessik's own.
    if (inForce_) {
        guardlink::send(fd_, Message::LockState, state_.constData(), static_cast<std::size_t>(state_.size()));
    }
}

void GuardLink::watch() {
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &GuardLink::readReports);
}

void GuardLink::lockInForce(const QByteArray& state) {
    wipe(state_);
    state_ = state;
    inForce_ = true;
    if (!guardlink::send(fd_, Message::LockState, state.constData(), static_cast<std::size_t>(state.size())) &&
        fd_ >= 0) {
        log_->log(QStringLiteral("Cannot hand the lock's state to its guard: %1").arg(systemErrorText(errno)));
    }
}

void GuardLink::wipeResumed() {
    if (resumed_) {
        wipe(*resumed_);
    }
    resumed_.reset();
}

void GuardLink::lockEnded() {
    if (!inForce_) {
        return;
    }
    inForce_ = false;
    held_ = false;
    lockWindow_ = 0;
    guardlink::send(fd_, Message::Unlock, nullptr, 0);
    wipe(state_);
    wipeResumed();
}

bool GuardLink::cover(std::uint32_t resourceBase, std::uint32_t overlay) {
    inForce_ = true; // the guard holds from now on: lockEnded tells it the lock ended
    held_ = false;
    const std::uint32_t payload[] = {resourceBase, overlay};
    return guardlink::send(fd_, Message::Cover, payload, sizeof payload);
}

void GuardLink::setLockWindow(std::uint32_t window) {
    lockWindow_ = window;
    guardlink::send(fd_, Message::LockWindow, &window, sizeof window);
}

void GuardLink::readReports() {
    while (fd_ >= 0) {
        char packet[64];
        const ssize_t n = ::recv(fd_, packet, sizeof packet, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            linkClosed();
            return;
        }
        const auto type = static_cast<Message>(packet[0]);
        if (type == Message::InputHeld && n >= 2) {
            held_ = packet[1] == 1;
            if (callbacks_.held) {
                callbacks_.held(held_);
            }
        } else if (type == Message::Released && inForce_) {
            // The guard lost its display connection: the capture holds the input itself.
            held_ = false;
            if (callbacks_.gone) {
                callbacks_.gone();
            }
        } else if (type == Message::NameWindow && inForce_ && lockWindow_ != 0) {
            guardlink::send(fd_, Message::LockWindow, &lockWindow_, sizeof lockWindow_); // it is back
        } else if (type == Message::Key && n == 1 + 32) {
            QByteArray event(packet + 1, 32);
            if (callbacks_.key) {
                callbacks_.key(event);
            }
            ::explicit_bzero(event.data(), static_cast<std::size_t>(event.size()));
        }
        ::explicit_bzero(packet, sizeof packet);
    }
}

void GuardLink::linkClosed() {
    notifier_.reset();
    ::close(fd_);
    fd_ = -1;
    held_ = false;
    if (pid_ > 0) {
        // Its end of the link closes as it exits: this waits for no more than that.
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    log_->log(QStringLiteral("The guard of the lock ended; starting another."));
    if (callbacks_.gone) {
        callbacks_.gone();
    }
    if (started_) {
        spawn();
    }
}
