#pragma once

#include <optional>
#include <vector>

#include <QtCore/QString>
#include <QtCore/QUrl>

// One entry of the user's login items (an XDG autostart entry on this platform).
struct LoginItem {
    QString id; // where the entry lives (the desktop entry file)
};

// The user's login items: the programs the desktop starts at every login.
class LoginItems {
public:
    virtual ~LoginItems() = default;
    // The entries in list order. Returns false when the list cannot be read;
    // `out` is then left as it was.
    virtual bool snapshot(std::vector<LoginItem>& out) = 0;
    // The file URL of the program that `item` starts, or nothing when it does not
    // resolve (hidden, unreadable, or its program does not exist).
    virtual std::optional<QUrl> resolve(const LoginItem& item) = 0;
    // Adds an entry for the program `application` (a file URL) before all others.
    // Failures are not reported.
    virtual void insertFirst(const QUrl& application) = 0;
    // Removes `item` and nothing else. Failures are not reported.
    virtual void remove(const LoginItem& item) = 0;
};
