#include "platform/linux/InotifyFileWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QSocketNotifier>

namespace {

// The file: written (each write, and the close after writing, for a writer that
// keeps it open), its attributes or link count changed, moved or deleted itself.
constexpr std::uint32_t kFileMask = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
// A folder: its entries created, deleted, moved in or out (the next element of the
// chain among them), and the folder itself moved or deleted.
constexpr std::uint32_t kFolderMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
// Events about a watched element itself, whichever it is.
constexpr std::uint32_t kSelfEvents = IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT;

} // namespace

InotifyFileWatch::InotifyFileWatch() = default;

InotifyFileWatch::~InotifyFileWatch() {
    notifier_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool InotifyFileWatch::open() {
    if (fd_ < 0) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { readEvents(); });
    }
    return true;
}

void InotifyFileWatch::watch(const QString& path, int folders, std::function<void()> changed) {
    for (const Element& e : chain_) {
        if (e.wd >= 0) {
            ::inotify_rm_watch(fd_, e.wd);
        }
    }
    chain_.clear();
    changed_ = std::move(changed);
    QString current = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    for (int level = 0; level <= folders; ++level) {
        const QFileInfo info(current);
        chain_.insert(chain_.begin(), {QFile::encodeName(current), QFile::encodeName(info.fileName())});
        if (info.path() == current) {
            break; // the root folder: nothing above it
        }
        current = info.path();
    }
    open();
    rearm();
}

bool InotifyFileWatch::armed() {
    // A change made just before a repair would have been missed: a watch set up
    // again here counts from the next call on.
    const bool wasComplete = complete_;
    if (!complete_ && !chain_.empty()) {
        open();
        rearm();
    }
    return wasComplete;
}

void InotifyFileWatch::rearm() {
    std::vector<int> previous;
    for (const Element& e : chain_) {
        previous.push_back(e.wd);
    }
    complete_ = fd_ >= 0 && !chain_.empty();
    bool exists = complete_;
    for (std::size_t i = 0; i < chain_.size(); ++i) {
        Element& e = chain_[i];
        e.wd = -1;
        if (!exists) {
            continue;
        }
        const bool isFile = i + 1 == chain_.size();
        e.wd = ::inotify_add_watch(fd_, e.path.constData(), isFile ? kFileMask : kFolderMask);
        if (e.wd < 0) {
            // Below a watched folder, a missing element (or a file where a folder
            // belongs) is watched for by that folder; anything else leaves a gap.
            exists = false;
            if (i == 0 || (errno != ENOENT && errno != ENOTDIR)) {
                complete_ = false;
            }
        }
    }
    for (const int wd : previous) {
        const bool kept = std::any_of(chain_.begin(), chain_.end(), [wd](const Element& e) { return e.wd == wd; });
        if (wd >= 0 && !kept) {
            ::inotify_rm_watch(fd_, wd); // its IN_IGNORED names no element any more: dropped
        }
    }
}

bool InotifyFileWatch::counts(int wd, std::uint32_t mask, const char* name) const {
    if ((mask & IN_Q_OVERFLOW) != 0) {
        return true; // events were lost
    }
    for (std::size_t i = 0; i < chain_.size(); ++i) {
        if (chain_[i].wd != wd) {
            continue;
        }
        if (i + 1 == chain_.size() || (mask & kSelfEvents) != 0) {
            return true;
        }
        return name != nullptr && chain_[i + 1].name == name;
    }
    return false; // a watch let go of
}

void InotifyFileWatch::readEvents() {
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = event.len > 0 ? buffer + at + sizeof event : nullptr;
            changed = counts(event.wd, event.mask, name) || changed;
            at += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    if (changed) {
        rearm();
        if (changed_) {
            changed_();
        }
    }
}
