#pragma once

#include "platform/SystemLog.h"

// Log lines to syslog(3) with the ident "Vessik" and to standard error.
class SyslogLog : public SystemLog {
public:
    SyslogLog();
    ~SyslogLog() override;
    void log(const QString& line) override;
};
