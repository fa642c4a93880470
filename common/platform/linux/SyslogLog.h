#pragma once

#include <QtCore/QByteArray>

#include "common/platform/SystemLog.h"

// Log lines to syslog(3) under `ident` ("Vessik", "Vessik Install") and to
// standard error, prefixed with the same name.
class SyslogLog : public SystemLog {
public:
    explicit SyslogLog(QByteArray ident = QByteArrayLiteral("Vessik"));
    ~SyslogLog() override;
    void log(const QString& line) override;

private:
    QByteArray ident_; // syslog keeps a pointer to it until closelog
};
