#include "platform/linux/GuardLink.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <QtCore/QFile>

#include "guard/GuardProtocol.h"

extern char** environ;

namespace {

using guardlink::Message;

// A guard that keeps ending is started again at most this often a minute.
constexpr std::size_t kSpawnsPerMinute = 5;

std::int64_t monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
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
    if (!state_.isEmpty()) {
        ::explicit_bzero(state_.data(), static_cast<std::size_t>(state_.size()));
    }
    // The guard ends with the link; it is re-parented and reaped by whoever takes it.
}

void GuardLink::adoptInheritedLink() {
    const QByteArray variable = qgetenv(guardlink::kGuardLinkVariable);
    if (variable.isEmpty()) {
        return;
    }
    qunsetenv(guardlink::kGuardLinkVariable); // not for the programs this one starts
    const int fd = guardlink::kGuardLinkFd;
    int type = 0;
    socklen_t length = sizeof type;
    if (variable != "3" || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) {
        return;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
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

    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        log_->log(QStringLiteral("Cannot start the guard of the lock: %1").arg(errorText(errno)));
        return;
    }
    // dup2 onto the same number would keep close-on-exec set.
    if (fds[1] == guardlink::kGuardLinkFd) {
        const int moved = ::fcntl(fds[1], F_DUPFD_CLOEXEC, guardlink::kGuardLinkFd + 1);
        ::close(fds[1]);
        fds[1] = moved;
    }
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

    // Only the link and the standard streams: above all not the single-instance
    // lock, which would keep a restarted Vessik from running.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], guardlink::kGuardLinkFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, guardlink::kGuardLinkFd + 1);
    // A session of its own: a terminal's hang-up or Ctrl+C that ends Vessik spares the guard.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        log_->log(QStringLiteral("Cannot start the guard of the lock (%1): %2; a lock ends when Vessik does.")
                      .arg(guardPath_, errorText(error)));
        return;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    fd_ = fds[0];
    pid_ = pid;
    held_ = false;
    watch();
    // A guard started during a lock keeps it if Vessik ends; the input stays Vessik's own.
    if (inForce_) {
        send(static_cast<std::uint8_t>(Message::LockState), state_.constData(),
             static_cast<std::size_t>(state_.size()));
    }
}

void GuardLink::watch() {
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &GuardLink::readPackets);
}

bool GuardLink::send(std::uint8_t type, const char* payload, std::size_t size) {
    if (fd_ < 0) {
        return false;
    }
    iovec parts[2] = {{&type, 1}, {const_cast<char*>(payload), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = size > 0 ? 2 : 1;
    return ::sendmsg(fd_, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(size + 1);
}

void GuardLink::lockInForce(const QByteArray& state) {
    if (!state_.isEmpty()) {
        ::explicit_bzero(state_.data(), static_cast<std::size_t>(state_.size()));
    }
    state_ = state;
    inForce_ = true;
    if (!send(static_cast<std::uint8_t>(Message::LockState), state.constData(),
              static_cast<std::size_t>(state.size())) &&
        fd_ >= 0) {
        log_->log(QStringLiteral("Cannot hand the lock's state to its guard: %1").arg(errorText(errno)));
    }
}

void GuardLink::lockEnded() {
    if (!inForce_) {
        return;
    }
    inForce_ = false;
    held_ = false;
    send(static_cast<std::uint8_t>(Message::Unlock), nullptr, 0);
    if (!state_.isEmpty()) {
        ::explicit_bzero(state_.data(), static_cast<std::size_t>(state_.size()));
    }
    state_ = QByteArray();
}

bool GuardLink::cover(std::uint32_t resourceBase) {
    held_ = false;
    return send(static_cast<std::uint8_t>(Message::Cover), reinterpret_cast<const char*>(&resourceBase),
                sizeof resourceBase);
}

void GuardLink::setLockWindow(std::uint32_t window) {
    send(static_cast<std::uint8_t>(Message::LockWindow), reinterpret_cast<const char*>(&window), sizeof window);
}

void GuardLink::readPackets() {
    while (fd_ >= 0) {
        char packet[16];
        const ssize_t n = ::recv(fd_, packet, sizeof packet, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0) {
            linkClosed();
            return;
        }
        if (static_cast<Message>(packet[0]) == Message::InputHeld && n >= 2) {
            held_ = packet[1] == 1;
            if (heldCallback_) {
                heldCallback_(held_);
            }
        }
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
    if (goneCallback_) {
        goneCallback_();
    }
    if (started_) {
        spawn();
    }
}
