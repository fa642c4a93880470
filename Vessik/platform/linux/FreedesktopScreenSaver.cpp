#include "platform/linux/FreedesktopScreenSaver.h"

#include <algorithm>

#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusPendingReply>

namespace {

const QString kName = QStringLiteral("org.freedesktop.ScreenSaver");
constexpr int kBusTimeoutMs = 5000;
const QString kLost = QStringLiteral("other programs can neither lock the screen through it, nor hear when it "
                                     "locks, nor hold the idle lock off");
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
    : bus_(std::move(bus)), callers_(QString(), bus_, QDBusServiceWatcher::WatchForUnregistration),
      name_(kName, bus_, QDBusServiceWatcher::WatchForOwnerChange) {
    connect(&callers_, &QDBusServiceWatcher::serviceUnregistered, this, &FreedesktopScreenSaver::callerLeft);
    connect(&name_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                nameOwnerChanged(oldOwner, newOwner);
            });
}

FreedesktopScreenSaver::~FreedesktopScreenSaver() {
    if (started_) {
        for (const QString& path : kPaths) {
            bus_.unregisterObject(path);
        }
    }
    if (offered_) {
        bus_.unregisterService(kName);
    }
}

void FreedesktopScreenSaver::log(const QString& line) const {
    if (handlers_.log) {
        handlers_.log(line);
    }
}

std::optional<QString> FreedesktopScreenSaver::start(Handlers handlers) {
    handlers_ = std::move(handlers);
    if (!bus_.isConnected()) {
        return QStringLiteral("No session bus (%1): %2.").arg(bus_.lastError().message(), kLost);
    }
    // The objects answer on Vessik's own connection whoever has the name.
    started_ = true;
    for (const QString& path : kPaths) {
        bus_.registerVirtualObject(path, this);
    }
    // Never queued and never replacing: another program's service stays as it is.
    // The bus itself answers, at once; the timeout only bounds a bus that hangs.
    bus_.interface()->setTimeout(kBusTimeoutMs);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> registered = bus_.interface()->registerService(
        kName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::AllowReplacement);
    if (!registered.isValid() || registered.value() != QDBusConnectionInterface::ServiceRegistered) {
        const QString owner = bus_.interface()->serviceOwner(kName).value();
        if (owner.isEmpty() && registered.isValid()) { // gone meanwhile: ask again
            nameOwnerChanged(QString(), QString());
        }
        return QStringLiteral("%1 is offered by another program (%2): Vessik leaves it alone while that program "
                              "has it, and until then %3.")
            .arg(kName, owner.isEmpty() ? registered.error().message() : owner, kLost);
    }
    offered_ = true;
    return std::nullopt;
}

void FreedesktopScreenSaver::nameOwnerChanged(const QString& oldOwner, const QString& newOwner) {
    if (!started_) {
        return;
    }
    const QString self = bus_.baseService();
    if (newOwner == self) {
        if (!offered_) {
            offered_ = true;
            log(QStringLiteral("%1 is free again: Vessik offers it.").arg(kName));
        }
        return;
    }
    if (oldOwner == self || offered_) {
        offered_ = false;
        if (!newOwner.isEmpty()) {
            log(QStringLiteral("Another program (%1) took %2 from Vessik: until it leaves, %3.")
                    .arg(newOwner, kName, kLost));
        }
    }
    if (!newOwner.isEmpty()) {
        return;
    }
    // Free: asked for the same way as at the start, without waiting for the answer
    // (the watch reports the outcome).
    QDBusMessage request =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    constexpr std::uint32_t kAllowReplacement = 0x1;
    constexpr std::uint32_t kDoNotQueue = 0x4;
    request << kName << (kAllowReplacement | kDoNotQueue);
    bus_.asyncCall(request, kBusTimeoutMs);
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
    const QString interface = message.interface();
    const QString member = message.member();
    const QString signature = message.signature();
    // Qt answers introspection itself, with our interface and the standard ones;
    // the bus library answers Peer. Everything else is answered here, with the
    // standard D-Bus errors.
    if (interface == QLatin1String("org.freedesktop.DBus.Introspectable")) {
        return false;
    }
    auto error = [&](const char* name, const QString& text) {
        connection.send(message.createErrorReply(QString::fromLatin1(name), text));
        return true;
    };
    if (interface == QLatin1String("org.freedesktop.DBus.Properties")) {
        // The interface has no properties: GetAll answers an empty dictionary.
        const QVariantList arguments = message.arguments();
        const QString asked = arguments.isEmpty() ? QString() : arguments.constFirst().toString();
        const bool known = asked.isEmpty() || asked == kInterface;
        if (member == QLatin1String("GetAll") && signature == QLatin1String("s")) {
            if (!known) {
                return error("org.freedesktop.DBus.Error.UnknownInterface",
                             QStringLiteral("No such interface '%1'").arg(asked));
            }
            connection.send(message.createReply(QVariant::fromValue(QVariantMap())));
            return true;
        }
        if ((member == QLatin1String("Get") && signature == QLatin1String("ss")) ||
            (member == QLatin1String("Set") && signature == QLatin1String("ssv"))) {
            return error(known ? "org.freedesktop.DBus.Error.UnknownProperty"
                               : "org.freedesktop.DBus.Error.UnknownInterface",
                         known ? QStringLiteral("No such property '%1'").arg(arguments.value(1).toString())
                               : QStringLiteral("No such interface '%1'").arg(asked));
        }
        if (member == QLatin1String("Get") || member == QLatin1String("Set") || member == QLatin1String("GetAll")) {
            return error("org.freedesktop.DBus.Error.InvalidArgs",
                         QStringLiteral("Wrong arguments '%1' for %2").arg(signature, member));
        }
        return error("org.freedesktop.DBus.Error.UnknownMethod",
                     QStringLiteral("No such method '%1' in interface '%2'").arg(member, interface));
    }
    if (!interface.isEmpty() && interface != kInterface) {
        return error("org.freedesktop.DBus.Error.UnknownInterface",
                     QStringLiteral("No such interface '%1' at object path '%2'").arg(interface, message.path()));
    }
    // Each method of the interface and its arguments.
    static const std::pair<QLatin1String, QLatin1String> kMethods[] = {
        {QLatin1String("Lock"), QLatin1String("")},
        {QLatin1String("GetActive"), QLatin1String("")},
        {QLatin1String("GetSessionIdleTime"), QLatin1String("")},
        {QLatin1String("Inhibit"), QLatin1String("ss")},
        {QLatin1String("UnInhibit"), QLatin1String("u")},
    };
    const auto method =
        std::find_if(std::begin(kMethods), std::end(kMethods), [&member](const auto& m) { return m.first == member; });
    if (method == std::end(kMethods)) {
        return error("org.freedesktop.DBus.Error.UnknownMethod",
                     QStringLiteral("No such method '%1' in interface '%2'").arg(member, kInterface));
    }
    if (signature != method->second) {
        return error(
            "org.freedesktop.DBus.Error.InvalidArgs",
            QStringLiteral("Wrong arguments '%1' for %2: expected '%3'").arg(signature, member, method->second));
    }
    QDBusMessage reply;
    if (member == QLatin1String("Lock")) {
        connection.send(message.createReply()); // answered first: the lock takes a moment
        if (handlers_.lock) {
            handlers_.lock();
        }
        return true;
    }
    if (member == QLatin1String("GetActive")) {
        reply = message.createReply(handlers_.active && handlers_.active());
    } else if (member == QLatin1String("GetSessionIdleTime")) {
        const std::int64_t seconds = handlers_.idleSeconds ? handlers_.idleSeconds() : -1;
        reply = message.createReply(static_cast<std::uint32_t>(std::clamp<std::int64_t>(seconds, 0, UINT32_MAX)));
    } else if (member == QLatin1String("Inhibit")) {
        const QVariantList arguments = message.arguments();
        reply = message.createReply(inhibit(message.service(), arguments.at(0).toString(), arguments.at(1).toString()));
    } else {
        uninhibit(message.arguments().constFirst().toUInt());
        reply = message.createReply();
    }
    connection.send(reply);
    return true;
}

std::uint32_t FreedesktopScreenSaver::inhibit(const QString& caller, const QString& application,
                                              const QString& reason) {
    std::uint32_t cookie = nextCookie_++;
    while (cookie == 0 || inhibitions_.count(cookie) != 0) { // 0 is no cookie; after a wrap, skip live ones
        cookie = nextCookie_++;
    }
    inhibitions_[cookie] = Held{caller, application, reason};
    watchCaller(caller);
    tellInhibitionsChanged();
    return cookie;
}

void FreedesktopScreenSaver::watchCaller(const QString& caller) {
    if (callers_.watchedServices().contains(caller)) {
        return;
    }
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

void FreedesktopScreenSaver::uninhibit(std::uint32_t cookie) {
    const auto inhibition = inhibitions_.find(cookie);
    if (inhibition == inhibitions_.end()) {
        return;
    }
    const QString caller = inhibition->second.owner;
    inhibitions_.erase(inhibition);
    if (std::none_of(inhibitions_.begin(), inhibitions_.end(),
                     [&caller](const auto& i) { return i.second.owner == caller; })) {
        callers_.removeWatchedService(caller);
    }
    tellInhibitionsChanged();
}

void FreedesktopScreenSaver::callerLeft(const QString& caller) {
    const std::size_t ended =
        std::erase_if(inhibitions_, [&caller](const auto& inhibition) { return inhibition.second.owner == caller; });
    callers_.removeWatchedService(caller);
    if (ended > 0) {
        tellInhibitionsChanged();
    }
}

void FreedesktopScreenSaver::tellInhibitionsChanged() {
    if (handlers_.inhibitionsChanged) {
        handlers_.inhibitionsChanged(inhibited());
    }
}

std::vector<ScreenSaverService::Inhibition> FreedesktopScreenSaver::inhibitions() const {
    std::vector<Inhibition> all;
    for (const auto& [cookie, held] : inhibitions_) {
        all.push_back({cookie, held.owner, held.application, held.reason});
    }
    return all;
}

void FreedesktopScreenSaver::adoptInhibitions(const std::vector<Inhibition>& inhibitions) {
    for (const Inhibition& inhibition : inhibitions) {
        if (inhibition.cookie == 0 || inhibition.owner.isEmpty() || inhibitions_.count(inhibition.cookie) != 0) {
            continue;
        }
        inhibitions_[inhibition.cookie] = Held{inhibition.owner, inhibition.application, inhibition.reason};
        nextCookie_ = std::max(nextCookie_, inhibition.cookie + 1);
        if (bus_.isConnected()) {
            watchCaller(inhibition.owner); // ends those whose program has left
        }
    }
    tellInhibitionsChanged();
}
