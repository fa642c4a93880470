#include "platform/linux/LinuxSingleInstance.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
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

// A request line is short; anything longer is no request of ours.
constexpr qsizetype kLongestRequest = 32;
// Connections that have not said what they want yet, at most; more are closed.
constexpr std::size_t kMostPending = 16;
// How long a connection may take to send its request line.
constexpr int kRequestWaitMs = 5000;
// How long `--lock` waits for the running Vessik's first answer: it answers
// within its own wait for the lock to hold, 5 s, and a moment.
constexpr int kLockAnswerWaitMs = 15000;
// How long `--lock` waits for a Vessik that ended mid-request to be back (its
// guard starts it again at once when a lock is in force).
constexpr int kVessikReturnWaitMs = 10000;
constexpr int kMostReconnects = 10;

// The request lines, in the order of SingleInstance::Request.
const QString kRequestNames[] = {QStringLiteral("settings"), QStringLiteral("lock"), QStringLiteral("lock-and-wait"),
                                 QStringLiteral("wait")};

const QString& requestLine(SingleInstance::Request request) {
    return kRequestNames[static_cast<std::size_t>(request)];
}

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

// A socket connected to `address`, or -1 (errno says why).
int connectTo(const sockaddr_un& address, bool nonBlocking) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool sendLine(int fd, const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    return ::send(fd, bytes.constData(), static_cast<std::size_t>(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           bytes.size();
}

// The next line from `fd` within `timeoutMs` (-1: no limit); nothing at the end
// of the connection or on timeout (`timedOut` says which).
std::optional<QString> readLine(int fd, QByteArray& buffer, int timeoutMs, bool* timedOut) {
    *timedOut = false;
    for (;;) {
        if (const qsizetype newline = buffer.indexOf('\n'); newline >= 0) {
            const QString line = QString::fromUtf8(buffer.left(newline));
            buffer.remove(0, newline + 1);
            return line;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            *timedOut = true;
            return std::nullopt;
        }
        char chunk[512];
        const ssize_t n = ready > 0 ? ::recv(fd, chunk, sizeof chunk, 0) : -1;
        if (n <= 0 || buffer.size() > 4096) {
            return std::nullopt;
        }
        buffer.append(chunk, n);
    }
}

// The answers to one request, on its connection; closed with the object.
class SocketRequester : public SingleInstance::Requester {
public:
    explicit SocketRequester(int fd) : fd_(fd) {}
    ~SocketRequester() override { ::close(fd_); }
    SocketRequester(const SocketRequester&) = delete;
    SocketRequester& operator=(const SocketRequester&) = delete;
    void answer(const QString& line) override { sendLine(fd_, line); }

private:
    int fd_;
};

} // namespace

// Its notifier and timer may be the ones whose signal ends it: they go later.
struct LinuxSingleInstance::Pending {
    QSocketNotifier* notifier;
    QTimer* deadline;
    QByteArray received;
    Pending(int fd, QObject* parent)
        : notifier(new QSocketNotifier(fd, QSocketNotifier::Read, parent)), deadline(new QTimer(parent)) {}
    ~Pending() {
        notifier->setEnabled(false);
        notifier->deleteLater();
        deadline->stop();
        deadline->deleteLater();
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
};

LinuxSingleInstance::LinuxSingleInstance(QString folder) : folder_(std::move(folder)) {}

LinuxSingleInstance::~LinuxSingleInstance() {
    notifier_.reset();
    while (!pending_.empty()) {
        dropPending(pending_.begin()->first);
    }
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
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9.-]"));
    if (display.startsWith(QStringLiteral("wayland:"))) {
        // A compositor's socket: its name in $XDG_RUNTIME_DIR, or a path.
        QString name = display.mid(8);
        return (QStringLiteral("wayland-") + name.replace(unsafe, QStringLiteral("_")));
    }
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
        // Another Vessik holds it: a request for its settings window.
        QString asked = QStringLiteral("the socket path is too long");
        if (addressFits) {
            // Never blocking: a running Vessik that does not accept leaves this one
            // waiting on a full backlog otherwise.
            const int client = connectTo(address, true);
            asked =
                client >= 0 && sendLine(client, requestLine(Request::Settings)) ? QString() : systemErrorText(errno);
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
        // Requests wait in the backlog until someone takes them.
        notifier_ = std::make_unique<QSocketNotifier>(serverFd_, QSocketNotifier::Read);
        notifier_->setEnabled(static_cast<bool>(callback_));
        connect(notifier_.get(), &QSocketNotifier::activated, this, &LinuxSingleInstance::acceptRequests);
    }
    return Claim::Claimed;
}

void LinuxSingleInstance::setRequestCallback(RequestCallback callback) {
    callback_ = std::move(callback);
    if (notifier_) {
        notifier_->setEnabled(static_cast<bool>(callback_));
    }
}

void LinuxSingleInstance::acceptRequests() {
    for (;;) {
        const int connection = ::accept4(serverFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0) {
            break;
        }
        if (pending_.size() >= kMostPending) {
            ::close(connection);
            continue;
        }
        auto pending = std::make_unique<Pending>(connection, this);
        connect(pending->notifier, &QSocketNotifier::activated, this, [this, connection] { readRequest(connection); });
        pending->deadline->setSingleShot(true);
        connect(pending->deadline, &QTimer::timeout, this, [this, connection] { dropPending(connection); });
        pending->deadline->start(kRequestWaitMs);
        pending_[connection] = std::move(pending);
        readRequest(connection); // the line is usually there already
    }
}

void LinuxSingleInstance::readRequest(int fd) {
    const auto found = pending_.find(fd);
    if (found == pending_.end()) {
        return;
    }
    Pending& pending = *found->second;
    std::optional<Request> request;
    bool done = false;
    for (;;) {
        char chunk[64];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        }
        if (n <= 0) {
            // Closed without a line: a start of an earlier kind, which only connected.
            if (n == 0 && pending.received.isEmpty()) {
                request = Request::Settings;
            }
            done = true;
            break;
        }
        pending.received.append(chunk, n);
        if (const qsizetype newline = pending.received.indexOf('\n'); newline >= 0) {
            const QString name = QString::fromUtf8(pending.received.left(newline));
            for (std::size_t i = 0; i < std::size(kRequestNames); ++i) {
                if (name == kRequestNames[i]) {
                    request = static_cast<Request>(i);
                }
            }
            done = true;
            break;
        }
        if (pending.received.size() > kLongestRequest) {
            done = true;
            break;
        }
    }
    if (!done) {
        return;
    }
    if (!request || !callback_) {
        dropPending(fd);
        return;
    }
    // The connection now belongs to the answers.
    pending_.erase(found);
    callback_(*request, std::make_unique<SocketRequester>(fd));
}

void LinuxSingleInstance::dropPending(int fd) {
    const auto found = pending_.find(fd);
    if (found != pending_.end()) {
        pending_.erase(found); // the notifier first, then the descriptor it watched
        ::close(fd);
    }
}

LinuxSingleInstance::LockOutcome LinuxSingleInstance::askToLock(const QString& folder, const QString& display,
                                                                bool waitForUnlock) {
    using Result = LockOutcome::Result;
    sockaddr_un address{};
    if (!socketAddress(folder + u'/' + displayKey(display) + QStringLiteral(".socket"), address)) {
        return {Result::NotRunning, QStringLiteral("the socket path is too long")};
    }
    int fd = connectTo(address, false);
    if (fd < 0) {
        const int error = errno;
        return {Result::NotRunning,
                error == ENOENT || error == ECONNREFUSED
                    ? QStringLiteral("no Vessik runs for this user on display %1").arg(display)
                    : QStringLiteral("cannot reach the Vessik of display %1: %2").arg(display, systemErrorText(error))};
    }
    // A Vessik that ends mid-request, whose guard starts it again when a lock was
    // in force: asked again once it is back.
    int reconnects = 0;
    auto reconnect = [&fd, &address, &reconnects] {
        ::close(fd);
        fd = -1;
        if (++reconnects > kMostReconnects) {
            return false; // a Vessik that keeps ending is no answer
        }
        for (int waited = 0; fd < 0 && waited < kVessikReturnWaitMs; waited += 100) {
            ::usleep(100 * 1000);
            fd = connectTo(address, false);
        }
        return fd >= 0;
    };
    const QString& request = requestLine(waitForUnlock ? Request::LockAndWait : Request::Lock);
    QByteArray buffer;
    bool held = false; // "locked" came: waiting for the end of the lock
    LockOutcome outcome{Result::Lost, QString()};
    sendLine(fd, request);
    for (;;) {
        bool timedOut = false;
        const std::optional<QString> line = readLine(fd, buffer, held ? -1 : kLockAnswerWaitMs, &timedOut);
        if (!line && timedOut) {
            outcome.reason = QStringLiteral("Vessik did not answer within %1 s").arg(kLockAnswerWaitMs / 1000);
        } else if (!line) {
            buffer.clear();
            if (reconnect()) {
                sendLine(fd, held ? requestLine(Request::WaitForUnlock) : request);
                continue;
            }
            outcome.reason = QStringLiteral("Vessik ended %1 and did not come back")
                                 .arg(held ? QStringLiteral("during the lock") : QStringLiteral("before answering"));
        } else if (line->startsWith(QStringLiteral("refused: "))) {
            outcome = {Result::Refused, line->mid(9)};
        } else if (*line == QLatin1String("locked") && !held) {
            if (waitForUnlock) {
                held = true;
                continue;
            }
            outcome = {Result::Locked, QString()};
        } else if (*line == QLatin1String("unlocked") && held) {
            outcome = {Result::Unlocked, QString()};
        } else {
            outcome.reason = QStringLiteral("Vessik answered \"%1\"").arg(*line);
        }
        break;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return outcome;
}
