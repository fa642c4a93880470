#pragma once

#include <QtCore/QString>

#include "platform/PowerOff.h"

// Power-off through systemd-logind: org.freedesktop.login1.Manager.PowerOff(false)
// (not interactive: logind asks nobody for a password) on the system bus.
//
// The call blocks the calling thread without running an event loop, for at most
// `timeoutMs`. The error text is "NAME: MESSAGE" of the D-Bus error, or why the
// bus could not be reached.
class LogindPowerOff : public PowerOff {
public:
    // `busAddress` empty means the system bus (DBUS_SYSTEM_BUS_ADDRESS or the
    // standard socket); tests hand in the address of a private bus.
    explicit LogindPowerOff(QString busAddress = {}, int timeoutMs = 5000);

    std::optional<QString> powerOff() override;

private:
    QString busAddress_;
    int timeoutMs_;
};
