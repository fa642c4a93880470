// What the logind clients share: the names of its manager, a call to it, and the
// D-Bus types Qt needs registered.
#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusError>
#include <QtDBus/QDBusMessage>

namespace logind {

inline const QString kService = QStringLiteral("org.freedesktop.login1");
inline const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
inline const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

// A call of `method` on logind's manager, its arguments still to be added.
inline QDBusMessage managerCall(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kManagerPath, kManager, method);
}

// Qt 6.4 otherwise warns about "invalid type" at random when these cross its
// D-Bus thread; registering twice is harmless.
inline void registerDBusTypes() {
    qRegisterMetaType<QDBusMessage>();
    qRegisterMetaType<QDBusError>();
}

} // namespace logind
