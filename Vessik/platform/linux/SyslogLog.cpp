#include "platform/linux/SyslogLog.h"

#include <cstdio>
#include <syslog.h>

SyslogLog::SyslogLog() {
    ::openlog("Vessik", LOG_PID, LOG_USER);
}

SyslogLog::~SyslogLog() {
    ::closelog();
}

void SyslogLog::log(const QString& line) {
    const QByteArray text = line.toUtf8();
    ::syslog(LOG_NOTICE, "%s", text.constData());
    std::fprintf(stderr, "Vessik: %s\n", text.constData());
    std::fflush(stderr);
}
