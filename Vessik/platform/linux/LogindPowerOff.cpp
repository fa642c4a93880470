#include "platform/linux/LogindPowerOff.h"

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMessage>

LogindPowerOff::LogindPowerOff(QString busAddress, int timeoutMs)
    : busAddress_(std::move(busAddress)), timeoutMs_(timeoutMs) {
    // Qt 6.4 otherwise warns about "invalid type" at random when these cross its
    // D-Bus thread; registering twice is harmless.
    qRegisterMetaType<QDBusMessage>();
    qRegisterMetaType<QDBusError>();
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
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PowerOff"));
        call << false;
        const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs_);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            error = QStringLiteral("%1: %2").arg(reply.errorName(), reply.errorMessage());
        } else if (reply.type() != QDBusMessage::ReplyMessage) {
            error = QStringLiteral("no answer from org.freedesktop.login1");
        }
    }
    if (!busAddress_.isEmpty()) {
        QDBusConnection::disconnectFromBus(name);
    }
    return error;
}
