#include "platform/linux/LogindPowerOff.h"

#include <QtDBus/QDBusConnection>

#include "platform/linux/Logind.h"

LogindPowerOff::LogindPowerOff(QString busAddress, int timeoutMs)
    : busAddress_(std::move(busAddress)), timeoutMs_(timeoutMs) {
    logind::registerDBusTypes();
}

std::optional<QString> LogindPowerOff::powerOff() {
    // Connected only now: Vessik keeps no system bus connection while it waits.
    const QString name = QStringLiteral("vessik-poweroff");
    QDBusConnection bus =
        busAddress_.isEmpty() ? QDBusConnection::systemBus() : QDBusConnection::connectToBus(busAddress_, name);
    std::optional<QString> error;
    if (!bus.isConnected()) {
        const QDBusError why = bus.lastError();
        error = why.isValid() ? QStringLiteral("%1: %2").arg(why.name(), why.message())
                              : QStringLiteral("cannot connect to the system bus");
    } else {
        QDBusMessage call = logind::managerCall(QStringLiteral("PowerOff"));
        call << false;
        const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs_);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            error = QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage());
        } else if (reply.type() != QDBusMessage::ReplyMessage) {
            error = QStringLiteral("no answer from ") + logind::kService;
        }
    }
    if (!busAddress_.isEmpty()) {
        QDBusConnection::disconnectFromBus(name);
    }
    return error;
}
