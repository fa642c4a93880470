#pragma once

#include <cstdint>
#include <map>

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusServiceWatcher>
#include <QtDBus/QDBusVirtualObject>

#include "platform/ScreenSaverService.h"

// org.freedesktop.ScreenSaver on the session bus, at /org/freedesktop/ScreenSaver
// and /ScreenSaver: Lock(), GetActive(), GetSessionIdleTime(), Inhibit(application,
// reason) -> cookie, UnInhibit(cookie), and the signal ActiveChanged(bool).
//
// The name is asked for without queueing and never taken from its owner; the
// desktop's own service may take it over later (replacement is allowed). Each
// inhibition is tied to the caller's unique name and ends when that name
// leaves the bus. Calls are answered on the main thread.
class FreedesktopScreenSaver : public QDBusVirtualObject, public ScreenSaverService {
    Q_OBJECT

public:
    // `bus` is the session bus in the program; tests hand in a connection to a
    // private bus.
    explicit FreedesktopScreenSaver(QDBusConnection bus);
    ~FreedesktopScreenSaver() override;

    std::optional<QString> start(Handlers handlers) override;
    void announceActive(bool active) override;
    bool inhibited() const override { return !inhibitions_.empty(); }

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    std::uint32_t inhibit(const QString& caller);
    void uninhibit(std::uint32_t cookie);
    // Ends every inhibition of `caller`, who left the bus.
    void callerLeft(const QString& caller);
    void tellInhibited(bool before);

    QDBusConnection bus_;
    Handlers handlers_;
    bool offered_ = false;
    std::uint32_t nextCookie_ = 1;
    std::map<std::uint32_t, QString> inhibitions_; // cookie -> the caller's unique name
    QDBusServiceWatcher callers_;
};
