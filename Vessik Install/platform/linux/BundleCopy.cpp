#include "platform/linux/BundleCopy.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>

#include "common/platform/linux/SystemError.h"

namespace {

QString describe(const QString& what, const QByteArray& path, int code) {
    return QStringLiteral("%1 '%2': %3").arg(what, QFile::decodeName(path), systemErrorText(code));
}

// A file descriptor that closes itself.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result: a delayed write error can surface here.
    int close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

class TreeCopier {
public:
    QString error;

    bool copy(const QByteArray& from, const QByteArray& to, const struct stat& st) {
        if (S_ISDIR(st.st_mode)) {
            return copyFolder(from, to, st);
        }
        if (S_ISREG(st.st_mode)) {
            return copyFile(from, to, st);
        }
        if (S_ISLNK(st.st_mode)) {
            return copyLink(from, to);
        }
        error = QStringLiteral("Cannot copy '%1': not a folder, a regular file or a symbolic link")
                    .arg(QFile::decodeName(from));
        return false;
    }

private:
    bool fail(const QString& what, const QByteArray& path) {
        error = describe(what, path, errno);
        return false;
    }

    static void keepTimes(int dirfd, const QByteArray& path, const struct stat& st, int flags) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(dirfd, path.constData(), times, flags); // best effort, as a copy's times are
    }

    bool copyFolder(const QByteArray& from, const QByteArray& to, const struct stat& st) {
        // Owner-only and writable while it fills; its own mode comes at the end.
        if (::mkdir(to.constData(), 0700) != 0) {
            return fail(QStringLiteral("Cannot create folder"), to);
        }
        std::unique_ptr<DIR, DirCloser> dir(::opendir(from.constData()));
        if (!dir) {
            return fail(QStringLiteral("Cannot read folder"), from);
        }
        std::vector<QByteArray> names;
        errno = 0;
        while (const dirent* entry = ::readdir(dir.get())) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..") {
                names.push_back(name);
            }
            errno = 0;
        }
        if (errno != 0) {
            return fail(QStringLiteral("Cannot read folder"), from);
        }
        dir.reset();
        for (const QByteArray& name : names) {
            const QByteArray source = from + '/' + name;
            struct stat entry {};
            if (::lstat(source.constData(), &entry) != 0) {
                return fail(QStringLiteral("Cannot read"), source);
            }
            if (!copy(source, to + '/' + name, entry)) {
                return false;
            }
        }
        if (::chmod(to.constData(), st.st_mode & 07777) != 0) {
            return fail(QStringLiteral("Cannot set the mode of"), to);
        }
        keepTimes(AT_FDCWD, to, st, 0);
        return true;
    }

    bool copyFile(const QByteArray& from, const QByteArray& to, const struct stat& st) {
        // O_NONBLOCK: if `from` was swapped for a FIFO since the lstat, opening it must not hang.
        Fd in(::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (in.get() < 0) {
            return fail(QStringLiteral("Cannot read"), from);
        }
        struct stat opened {};
        if (::fstat(in.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
            error = QStringLiteral("Cannot copy '%1': it changed while being copied").arg(QFile::decodeName(from));
            return false;
        }
        Fd out(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.get() < 0) {
            return fail(QStringLiteral("Cannot create"), to);
        }
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
            if (got == 0) {
                break;
            }
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return fail(QStringLiteral("Cannot read"), from);
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t put = ::write(out.get(), buffer + done, static_cast<size_t>(got - done));
                if (put < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    return fail(QStringLiteral("Cannot write"), to);
                }
                done += put;
            }
        }
        if (::fchmod(out.get(), st.st_mode & 07777) != 0) {
            return fail(QStringLiteral("Cannot set the mode of"), to);
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.get(), times);
        // On disk before the rename makes the copy visible.
        if (::fsync(out.get()) != 0 || out.close() != 0) {
            return fail(QStringLiteral("Cannot write"), to);
        }
        return true;
    }

    bool copyLink(const QByteArray& from, const QByteArray& to) {
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t length = ::readlink(from.constData(), target.data(), target.size());
        if (length < 0) {
            return fail(QStringLiteral("Cannot read"), from);
        }
        if (static_cast<size_t>(length) >= target.size()) {
            errno = ENAMETOOLONG;
            return fail(QStringLiteral("Cannot read"), from);
        }
        target[static_cast<size_t>(length)] = '\0';
        if (::symlink(target.data(), to.constData()) != 0) {
            return fail(QStringLiteral("Cannot create"), to);
        }
        struct stat st {};
        if (::lstat(from.constData(), &st) == 0) {
            keepTimes(AT_FDCWD, to, st, AT_SYMLINK_NOFOLLOW);
        }
        return true;
    }
};

bool removeTree(const QByteArray& path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlink(path.constData()) == 0;
    }
    // A folder copied whole may have been given a read-only mode already.
    ::chmod(path.constData(), 0700);
    std::vector<QByteArray> names;
    if (std::unique_ptr<DIR, DirCloser> dir(::opendir(path.constData())); dir) {
        while (const dirent* entry = ::readdir(dir.get())) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
    }
    bool ok = true;
    for (const QByteArray& name : names) {
        ok = removeTree(path + '/' + name) && ok;
    }
    return ::rmdir(path.constData()) == 0 && ok;
}

// Renames without replacing: an item that appeared at `to` in the meantime stays.
int renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // A file system without RENAME_NOREPLACE: check, then rename (a narrow race).
    struct stat st {};
    if (::lstat(to.constData(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.constData(), to.constData());
}

void syncFolder(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool copyItem(const QString& from, const QString& to, QString* error) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    auto failed = [error](const QString& text) {
        if (error != nullptr) {
            *error = text;
        }
        return false;
    };

    struct stat st {};
    if (::lstat(target.constData(), &st) == 0) {
        return failed(QStringLiteral("Cannot copy '%1' to '%2': %3").arg(from, to, systemErrorText(EEXIST)));
    }
    if (::stat(source.constData(), &st) != 0) {
        return failed(describe(QStringLiteral("Cannot read"), source, errno));
    }
    const QFileInfo targetInfo(to);
    const QString folder = targetInfo.absolutePath();
    if (!QDir().mkpath(folder)) {
        return failed(QStringLiteral("Cannot create folder '%1'").arg(folder));
    }

    const QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.") + targetInfo.fileName()) + ".XXXXXX";
    std::vector<char> pattern(temporary.begin(), temporary.end());
    pattern.push_back('\0');
    if (::mkdtemp(pattern.data()) == nullptr) {
        return failed(describe(QStringLiteral("Cannot create folder"), temporary, errno));
    }
    const QByteArray scratch(pattern.data());
    const QByteArray staged = scratch + '/' + QFile::encodeName(targetInfo.fileName());

    TreeCopier copier;
    bool ok = copier.copy(source, staged, st);
    QString failure = copier.error;
    if (ok && renameNoReplace(staged, target) != 0) {
        failure = (errno == EEXIST || errno == ENOTEMPTY)
                      ? QStringLiteral("Cannot copy '%1' to '%2': %3").arg(from, to, systemErrorText(EEXIST))
                      : describe(QStringLiteral("Cannot move the copy to"), target, errno);
        ok = false;
    }
    removeTree(scratch);
    if (!ok) {
        return failed(failure);
    }
    syncFolder(QFile::encodeName(folder));
    return true;
}

bool removeItem(const QString& path) {
    return removeTree(QFile::encodeName(path));
}

bool BundleCopy::restrictToOwner(const QString& path) {
    return ::chmod(QFile::encodeName(path).constData(), 0600) == 0;
}
