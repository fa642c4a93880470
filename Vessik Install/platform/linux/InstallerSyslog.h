#pragma once

#include "platform/SystemLog.h"

// Log lines to syslog(3) with the ident "Vessik Install" and to standard error.
class InstallerSyslog : public SystemLog {
public:
    InstallerSyslog();
    ~InstallerSyslog() override;
    void log(const QString& line) override;
};
