#include "platform/linux/LinuxSingleInstance.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRegularExpression>

#include "common/platform/linux/SystemError.h"

namespace {

// A Unix socket address for `path`; false when the path is too long for one.
bool socketAddress(const QString& path, sockaddr_un& address) {
    const QByteArray bytes = QFile::encodeName(path);
    address = {};
    address.sun_family = AF_UNIX;
    if (static_cast<std::size_t>(bytes.size()) >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

} // namespace

LinuxSingleInstance::LinuxSingleInstance(QString folder) : folder_(std::move(folder)) {}

LinuxSingleInstance::~LinuxSingleInstance() {
    notifier_.reset();
    if (serverFd_ >= 0) {
        ::close(serverFd_);
        ::unlink(QFile::encodeName(socketPath_).constData()); // ours while the lock is held
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

QString LinuxSingleInstance::defaultFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime)) {
        return runtime + QStringLiteral("/vessik");
    }
    return QStringLiteral("/tmp/vessik-%1").arg(::geteuid());
}

QString LinuxSingleInstance::displayKey(const QString& display) {
    const qsizetype colon = display.lastIndexOf(u':');
    if (colon < 0) {
        return QStringLiteral("display-none");
    }
    QString host = display.left(colon);
    if (host.isEmpty() || host == QStringLiteral("unix")) {
        host = QStringLiteral("local");
    }
    const QString number = display.mid(colon + 1).section(u'.', 0, 0); // without the screen
    QString key = QStringLiteral("display-%1-%2").arg(host, number);
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9.-]"));
    return key.replace(unsafe, QStringLiteral("_"));
}

SingleInstance::Claim LinuxSingleInstance::claim(const QString& display, QString* why) {
    auto unchecked = [why, this](const QString& reason) {
        if (why != nullptr) {
            *why = QStringLiteral("Cannot check for another Vessik on this display (%1: %2); starting anyway.")
                       .arg(folder_, reason);
        }
        return Claim::Unchecked;
    };
    const QByteArray folder = QFile::encodeName(folder_);
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        return unchecked(systemErrorText(errno));
    }
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) {
        return unchecked(systemErrorText(errno));
    }
    struct stat st {};
    const bool privateFolder = ::fstat(dir, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
    const QString key = displayKey(display);
    const QByteArray lockName = QFile::encodeName(key + QStringLiteral(".lock"));
    const int fd =
        privateFolder ? ::openat(dir, lockName.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
    const int openError = errno;
    ::close(dir);
    if (!privateFolder) {
        return unchecked(QStringLiteral("not a folder of this user's alone"));
    }
    if (fd < 0) {
        return unchecked(systemErrorText(openError));
    }
    socketPath_ = folder_ + u'/' + key + QStringLiteral(".socket");
    sockaddr_un address{};
    const bool addressFits = socketAddress(socketPath_, address);

    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockError = errno;
        ::close(fd);
        if (lockError != EWOULDBLOCK) {
            return unchecked(systemErrorText(lockError));
        }
        // Another Vessik holds it: a connection asks it for its settings window.
        QString asked = QStringLiteral("the socket path is too long");
        if (addressFits) {
            // Never blocking: a running Vessik that does not accept leaves this one
            // waiting on a full backlog otherwise.
            const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (client >= 0 && ::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                asked.clear();
            } else {
                asked = systemErrorText(errno);
            }
            if (client >= 0) {
                ::close(client);
            }
        }
        if (why != nullptr) {
            *why = asked.isEmpty()
                       ? QStringLiteral("Vessik already runs for this user on display %1: asked it to open its "
                                        "settings window; this one exits.")
                             .arg(display)
                       : QStringLiteral("Vessik already runs for this user on display %1: could not ask it to open "
                                        "its settings window (%2); this one exits.")
                             .arg(display, asked);
        }
        return Claim::Running;
    }
    lockFd_ = fd;

    // The lock is ours, so any socket file left there is a dead one's.
    if (addressFits) {
        ::unlink(address.sun_path);
        serverFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (serverFd_ >= 0 && (::bind(serverFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
                               ::listen(serverFd_, 4) != 0)) {
            ::close(serverFd_);
            serverFd_ = -1;
        }
    }
    if (serverFd_ >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(serverFd_, QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, &LinuxSingleInstance::acceptRequests);
    }
    return Claim::Claimed;
}

void LinuxSingleInstance::acceptRequests() {
    bool asked = false;
    for (;;) {
        const int connection = ::accept4(serverFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            break;
        }
        ::close(connection);
        asked = true;
    }
    if (asked && callback_) {
        callback_();
    }
}
