#include "platform/linux/LogindSession.h"

#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>

#include "platform/linux/Logind.h"

namespace {

using logind::kManager;
using logind::kManagerPath;
using logind::kService;
using logind::managerCall;

const QString kSession = QStringLiteral("org.freedesktop.login1.Session");

const QString kWhatIsLost =
    QStringLiteral("Vessik neither locks before the system sleeps nor when the session asks it to");

} // namespace

LogindSession::LogindSession(QDBusConnection bus, int timeoutMs)
    : bus_(std::move(bus)), timeoutMs_(timeoutMs), logind_(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange) {
    logind::registerDBusTypes();
    connect(&logind_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { logindChanged(owner); });
}

std::optional<QString> LogindSession::start(Handlers handlers) {
    handlers_ = std::move(handlers);
    if (!bus_.isConnected()) {
        return QStringLiteral("No system bus (%1): %2.").arg(bus_.lastError().message(), kWhatIsLost);
    }
    started_ = true;
    // Only logind's own signals: Qt matches the sender against the name's owner,
    // whoever owns it now.
    bus_.connect(kService, kManagerPath, kManager, QStringLiteral("PrepareForSleep"), this,
                 SLOT(onPrepareForSleep(bool)));
    findSession();
    return std::nullopt;
}

void LogindSession::findSession() {
    const QString id = qEnvironmentVariable("XDG_SESSION_ID");
    QDBusMessage getSession = managerCall(QStringLiteral("GetSession"));
    getSession << (id.isEmpty() ? QStringLiteral("auto") : id);
    callLogind(getSession, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            logFailure(QStringLiteral("GetSession"), reply);
            return;
        }
        const QString path = qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
        if (path != sessionPath_) {
            if (!sessionPath_.isEmpty()) {
                bus_.disconnect(kService, sessionPath_, kSession, QStringLiteral("Lock"), this, SLOT(onSessionLock()));
            }
            sessionPath_ = path;
            bus_.connect(kService, sessionPath_, kSession, QStringLiteral("Lock"), this, SLOT(onSessionLock()));
        }
        sendHint(QStringLiteral("SetLockedHint"), lockedHint_);
        sendHint(QStringLiteral("SetIdleHint"), idleHint_);
    });
}

void LogindSession::logindChanged(const QString& owner) {
    if (!started_ || owner.isEmpty()) {
        return; // none now: the next one is met when it comes
    }
    // A new logind knows neither the inhibitor of the one before (its descriptor
    // is dead) nor the hints.
    loggedErrors_.clear();
    inhibitor_ = QDBusUnixFileDescriptor();
    if (inhibitorWanted_) {
        requestInhibitor();
    }
    findSession();
}

void LogindSession::callLogind(const QDBusMessage& call, const std::function<void(const QDBusMessage&)>& done) {
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, timeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done] {
        // The answer's message goes with the watcher, so no copy of a descriptor it
        // carried stays open beyond the next turn of the event loop.
        watcher->deleteLater();
        done(watcher->reply());
    });
}

void LogindSession::logFailure(const QString& method, const QDBusMessage& reply) {
    const QString name = reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : QStringLiteral("no answer");
    if (loggedErrors_.contains(name) || !handlers_.log) {
        return;
    }
    loggedErrors_.insert(name);
    const QString error = QStringLiteral("%1: %2").arg(name, reply.errorMessage());
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        handlers_.log(QStringLiteral("systemd-logind is not on the system bus (%1): %2.").arg(error, kWhatIsLost));
    } else if (method == QLatin1String("GetSession")) {
        handlers_.log(QStringLiteral("logind knows no session of Vessik's (%1): loginctl lock-session does not "
                                     "reach Vessik and the session's locked hint is not set.")
                          .arg(error));
    } else {
        handlers_.log(QStringLiteral("logind refused %1 (%2).").arg(method, error));
    }
}

void LogindSession::takeSleepInhibitor(const QString& why) {
    inhibitorWanted_ = true;
    why_ = why;
    if (started_ && inhibitorPending_ == 0 && !inhibitor_.isValid()) {
        requestInhibitor();
    }
}

void LogindSession::requestInhibitor() {
    ++inhibitorPending_;
    QDBusMessage inhibit = managerCall(QStringLiteral("Inhibit"));
    inhibit << QStringLiteral("sleep") << QStringLiteral("Vessik") << why_ << QStringLiteral("delay");
    callLogind(inhibit, [this](const QDBusMessage& reply) {
        --inhibitorPending_;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            logFailure(QStringLiteral("Inhibit"), reply);
            return;
        }
        const auto descriptor = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
        if (inhibitorWanted_) {
            inhibitor_ = descriptor; // the latest logind's, when two were asked
        }                            // else released meanwhile: the last copy closes with the answer
    });
}

void LogindSession::releaseSleepInhibitor() {
    inhibitorWanted_ = false;
    inhibitor_ = QDBusUnixFileDescriptor(); // closes the descriptor: the sleep goes ahead
}

void LogindSession::setLockedHint(bool locked) {
    lockedHint_ = locked;
    sendHint(QStringLiteral("SetLockedHint"), lockedHint_);
}

void LogindSession::setIdleHint(bool idle) {
    idleHint_ = idle;
    sendHint(QStringLiteral("SetIdleHint"), idleHint_);
}

void LogindSession::sendHint(const QString& method, std::optional<bool> value) {
    if (!value || sessionPath_.isEmpty()) {
        return; // sent once logind has named the session
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, sessionPath_, kSession, method);
    call << *value;
    callLogind(call, [this, method](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage) {
            logFailure(method, reply);
        }
    });
}

void LogindSession::onPrepareForSleep(bool starting) {
    if (handlers_.prepareForSleep) {
        handlers_.prepareForSleep(starting);
    }
}

void LogindSession::onSessionLock() {
    if (handlers_.lock) {
        handlers_.lock();
    }
}
