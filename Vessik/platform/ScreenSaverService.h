#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <QtCore/QString>

// The desktop's screen-saver service for other programs of the session: a
// password manager locks the screen and hears when it locks and unlocks; a
// video player holds the idle lock off while it plays.
//
// An inhibition belongs to the program that asked for it and ends when that
// program ends it or leaves the session's bus (a crash included). Every
// handler runs on the main thread.
class ScreenSaverService {
public:
    struct Handlers {
        // A program asked for the screen to be locked.
        std::function<void()> lock;
        // Whether a lock holds now.
        std::function<bool()> active;
        // Whole seconds since the last input, or -1 when unknown.
        std::function<std::int64_t()> idleSeconds;
        // An inhibition began or ended; `inhibited` whether any is left.
        std::function<void(bool inhibited)> inhibitionsChanged;
        // One line for the log: the service name lost to another program, or back.
        std::function<void(const QString& line)> log;
    };

    // One inhibition: the cookie it was answered with, the unique bus name of the
    // program that holds it, and what that program said.
    struct Inhibition {
        std::uint32_t cookie = 0;
        QString owner;
        QString application;
        QString reason;
        friend bool operator==(const Inhibition&, const Inhibition&) = default;
    };

    virtual ~ScreenSaverService() = default;

    // Offers the service with `handlers` (kept until destruction), unless another
    // program already offers it: that one is never replaced, and the service is
    // offered once it has gone. Returns why the service is not offered now (no
    // session bus, the name taken), or nothing.
    virtual std::optional<QString> start(Handlers handlers) = 0;

    // Tells the programs listening that a lock began to hold (true) or ended
    // (false). Nothing while the service is not offered.
    virtual void announceActive(bool active) = 0;

    // Whether some program holds an inhibition of the idle lock now.
    virtual bool inhibited() const = 0;
    // The inhibitions held now, by cookie.
    virtual std::vector<Inhibition> inhibitions() const = 0;
    // Takes over the inhibitions of an earlier Vessik (inhibitions()), after
    // start(): they hold as if made here, and those whose program has left the
    // bus end (inhibitionsChanged then tells).
    virtual void adoptInhibitions(const std::vector<Inhibition>& inhibitions) = 0;
};
