#pragma once

#include <functional>

#include <QtCore/QString>

// Tells its owner that a file may have changed, however it was changed: written in
// place (with or without a final close), its attributes changed, replaced by a
// rename, deleted or created, or one of the folders above it replaced, removed,
// created, moved away or moved back.
class FileWatch {
public:
    virtual ~FileWatch() = default;
    // Watches `path` and the `folders` folders above it (1: the folder that holds
    // the file). Whatever of that chain does not exist yet is watched for from the
    // nearest folder that does. From then on `changed` runs from the event loop,
    // never inside this call, after every change (changes close together may come
    // as one call). A second call replaces the first watch.
    virtual void watch(const QString& path, int folders, std::function<void()> changed) = 0;
    // Whether every change is reported now. False before watch() and while the
    // system refuses a watch (no inotify, the watch limit reached, the top folder
    // missing); each call tries again to set up what is missing.
    virtual bool armed() = 0;
};
