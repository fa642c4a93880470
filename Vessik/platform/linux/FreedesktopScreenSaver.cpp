#include "platform/linux/FreedesktopScreenSaver.h"

#include <algorithm>

#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>

namespace {

const QString kName = QStringLiteral("org.freedesktop.ScreenSaver");
constexpr int kBusTimeoutMs = 5000;
const QString kInterface = kName;
const QString kPaths[] = {QStringLiteral("/org/freedesktop/ScreenSaver"), QStringLiteral("/ScreenSaver")};

// The interface as introspection shows it.
const QString kIntrospection = QStringLiteral(R"(<interface name="org.freedesktop.ScreenSaver">
  <method name="Lock"/>
  <method name="GetActive"><arg name="active" type="b" direction="out"/></method>
  <method name="GetSessionIdleTime"><arg name="seconds" type="u" direction="out"/></method>
  <method name="Inhibit">
    <arg name="application_name" type="s" direction="in"/>
    <arg name="reason_for_inhibit" type="s" direction="in"/>
    <arg name="cookie" type="u" direction="out"/>
  </method>
  <method name="UnInhibit"><arg name="cookie" type="u" direction="in"/></method>
  <signal name="ActiveChanged"><arg name="active" type="b"/></signal>
</interface>
)");

} // namespace

FreedesktopScreenSaver::FreedesktopScreenSaver(QDBusConnection bus)
    : bus_(std::move(bus)), callers_(QString(), bus_, QDBusServiceWatcher::WatchForUnregistration) {
    connect(&callers_, &QDBusServiceWatcher::serviceUnregistered, this, &FreedesktopScreenSaver::callerLeft);
}

FreedesktopScreenSaver::~FreedesktopScreenSaver() {
    if (offered_) {
        for (const QString& path : kPaths) {
            bus_.unregisterObject(path);
        }
        bus_.unregisterService(kName);
    }
}

std::optional<QString> FreedesktopScreenSaver::start(Handlers handlers) {
    handlers_ = std::move(handlers);
    const QString lost = QStringLiteral("other programs can neither lock the screen through it, nor hear when it "
                                        "locks, nor hold the idle lock off");
    if (!bus_.isConnected()) {
        return QStringLiteral("No session bus (%1): %2.").arg(bus_.lastError().message(), lost);
    }
    // Never queued and never replacing: another program's service stays as it is.
    // The bus itself answers, at once; the timeout only bounds a bus that hangs.
    bus_.interface()->setTimeout(kBusTimeoutMs);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered = bus_.interface()->registerService(
        kName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::AllowReplacement);
    if (!registered.isValid() || registered.value() != QDBusConnectionInterface::ServiceRegistered) {
        const QString owner = bus_.interface()->serviceOwner(kName).value();
        return QStringLiteral("%1 is offered by another program (%2): Vessik leaves it alone, so %3.")
            .arg(kName, owner.isEmpty() ? registered.error().message() : owner, lost);
    }
    for (const QString& path : kPaths) {
        bus_.registerVirtualObject(path, this);
    }
    offered_ = true;
    return std::nullopt;
}

void FreedesktopScreenSaver::announceActive(bool active) {
    if (!offered_) {
        return;
    }
    for (const QString& path : kPaths) {
        QDBusMessage signal = QDBusMessage::createSignal(path, kInterface, QStringLiteral("ActiveChanged"));
        signal << active;
        bus_.send(signal);
    }
}

QString FreedesktopScreenSaver::introspect(const QString& path) const {
    return std::find(std::begin(kPaths), std::end(kPaths), path) != std::end(kPaths) ? kIntrospection : QString();
}

bool FreedesktopScreenSaver::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (!message.interface().isEmpty() && message.interface() != kInterface) {
        return false;
    }
    const QString member = message.member();
    const QString signature = message.signature();
    QDBusMessage reply;
    if (member == QLatin1String("Lock") && signature.isEmpty()) {
        connection.send(message.createReply()); // answered first: the lock takes a moment
        if (handlers_.lock) {
            handlers_.lock();
        }
        return true;
    }
    if (member == QLatin1String("GetActive") && signature.isEmpty()) {
        reply = message.createReply(handlers_.active && handlers_.active());
    } else if (member == QLatin1String("GetSessionIdleTime") && signature.isEmpty()) {
        const std::int64_t seconds = handlers_.idleSeconds ? handlers_.idleSeconds() : -1;
        reply = message.createReply(static_cast<std::uint32_t>(std::clamp<std::int64_t>(seconds, 0, UINT32_MAX)));
    } else if (member == QLatin1String("Inhibit") && signature == QLatin1String("ss")) {
        reply = message.createReply(inhibit(message.service()));
    } else if (member == QLatin1String("UnInhibit") && signature == QLatin1String("u")) {
        uninhibit(message.arguments().constFirst().toUInt());
        reply = message.createReply();
    } else {
        return false; // Qt answers with an unknown-method error
    }
    connection.send(reply);
    return true;
}

std::uint32_t FreedesktopScreenSaver::inhibit(const QString& caller) {
    const bool before = inhibited();
    std::uint32_t cookie = nextCookie_++;
    while (cookie == 0 || inhibitions_.count(cookie) != 0) { // 0 is no cookie; after a wrap, skip live ones
        cookie = nextCookie_++;
    }
    inhibitions_[cookie] = caller;
    if (!callers_.watchedServices().contains(caller)) {
        callers_.addWatchedService(caller);
        // A caller that left before the watch began is never reported by it: ask
        // the bus, after the watch, whether the caller is still there.
        auto* watcher =
            new QDBusPendingCallWatcher(bus_.interface()->asyncCall(QStringLiteral("NameHasOwner"), caller), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, caller] {
            watcher->deleteLater();
            const QDBusPendingReply<bool> present = *watcher;
            if (present.isValid() && !present.value()) {
                callerLeft(caller);
            }
        });
    }
    tellInhibited(before);
    return cookie;
}

void FreedesktopScreenSaver::uninhibit(std::uint32_t cookie) {
    const auto inhibition = inhibitions_.find(cookie);
    if (inhibition == inhibitions_.end()) {
        return;
    }
    const bool before = inhibited();
    const QString caller = inhibition->second;
    inhibitions_.erase(inhibition);
    if (std::none_of(inhibitions_.begin(), inhibitions_.end(),
                     [&caller](const auto& i) { return i.second == caller; })) {
        callers_.removeWatchedService(caller);
    }
    tellInhibited(before);
}

void FreedesktopScreenSaver::callerLeft(const QString& caller) {
    const bool before = inhibited();
    std::erase_if(inhibitions_, [&caller](const auto& inhibition) { return inhibition.second == caller; });
    callers_.removeWatchedService(caller);
    tellInhibited(before);
}

void FreedesktopScreenSaver::tellInhibited(bool before) {
    if (inhibited() != before && handlers_.inhibitedChanged) {
        handlers_.inhibitedChanged(inhibited());
    }
}
