#pragma once

#include <memory>

#include <QtCore/QObject>
#include <QtCore/QSocketNotifier>

#include "platform/SingleInstance.h"

// One Vessik per user and display, through a private folder of the user's:
// `KEY.lock`, locked with flock() by the running Vessik (the kernel lets go when
// the process ends, however it ends), and `KEY.socket`, a Unix socket on which it
// takes requests for its settings window (a connection is the request). KEY
// names the display, so that ":0", ":0.0" and "unix:0" are one display and
// other displays are independent; other users have other folders.
class LinuxSingleInstance : public QObject, public SingleInstance {
public:
    // `folder` is created (mode 0700) when missing, and must be a folder that
    // belongs to this user and that no one else may enter; otherwise claim()
    // answers Unchecked.
    explicit LinuxSingleInstance(QString folder);
    ~LinuxSingleInstance() override;

    // $XDG_RUNTIME_DIR/vessik, or /tmp/vessik-UID when that variable is unset or
    // not an absolute path.
    static QString defaultFolder();

    Claim claim(const QString& display, QString* why) override;
    void setSettingsRequestCallback(std::function<void()> callback) override { callback_ = std::move(callback); }

private:
    // The part of the file names that names `display`.
    static QString displayKey(const QString& display);
    void acceptRequests();

    QString folder_;
    int lockFd_ = -1;
    int serverFd_ = -1;
    QString socketPath_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> callback_;
};
