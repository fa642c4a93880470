#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QtCore/QByteArray>

#include "platform/FileWatch.h"

class QSocketNotifier;

// FileWatch on inotify. Every element of the chain, from the top folder down to
// the file, has a watch of its own: the file for writes, closes after writing and
// attribute changes (a rewrite in place, by whatever writer, also through a
// symbolic link), each folder for the entry of the next element (created, deleted,
// moved in or out) and for being moved or deleted itself. Events about other
// entries are dropped. After any event that counts, every watch is set up again on
// what the paths name now, so a file or folder replaced by another is watched
// under its new identity and the old one is let go.
//
// Nothing is polled: between changes the process sleeps. Needs the event loop of
// the thread that calls watch().
class InotifyFileWatch : public FileWatch {
public:
    InotifyFileWatch();
    ~InotifyFileWatch() override;
    InotifyFileWatch(const InotifyFileWatch&) = delete;
    InotifyFileWatch& operator=(const InotifyFileWatch&) = delete;

    void watch(const QString& path, int folders, std::function<void()> changed) override;
    bool armed() override;

private:
    struct Element {
        QByteArray path;
        QByteArray name; // its name in the folder above
        int wd = -1;     // its watch, or -1 while it does not exist
    };
    // The inotify descriptor and its notifier, made at the first need; false when
    // the system refuses one.
    bool open();
    // Sets up every watch on what exists now and lets go of the others.
    void rearm();
    void readEvents();
    bool counts(int wd, std::uint32_t mask, const char* name) const;

    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<Element> chain_; // the top folder first, the file last
    bool complete_ = false;
    std::function<void()> changed_;
};
