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
// desktop's own service may take it over later (replacement is allowed). The
// name is watched: its loss is logged, and whenever it is free again (its owner
// left) it is asked for again the same way. Each inhibition is tied to the
// caller's unique name and ends when that name leaves the bus. Calls are
// answered on the main thread, by the standard D-Bus errors where they
// do not fit; the Properties interface answers an empty set.
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
    std::vector<Inhibition> inhibitions() const override;
    void adoptInhibitions(const std::vector<Inhibition>& inhibitions) override;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    struct Held {
        QString owner;
        QString application;
        QString reason;
    };

    std::uint32_t inhibit(const QString& caller, const QString& application, const QString& reason);
    void uninhibit(std::uint32_t cookie);
    // Watches `caller`, unless watched already, and ends its inhibitions should it
    // have left the bus before the watch began.
    void watchCaller(const QString& caller);
    // Ends every inhibition of `caller`, who left the bus.
    void callerLeft(const QString& caller);
    void tellInhibitionsChanged();
    // The service name changed hands: Vessik lost it, got it, or it is free.
    void nameOwnerChanged(const QString& oldOwner, const QString& newOwner);
    void log(const QString& line) const;

    QDBusConnection bus_;
    Handlers handlers_;
    bool started_ = false;
    bool offered_ = false; // the name is Vessik's
    std::uint32_t nextCookie_ = 1;
    std::map<std::uint32_t, Held> inhibitions_;
    QDBusServiceWatcher callers_;
    QDBusServiceWatcher name_;
};
