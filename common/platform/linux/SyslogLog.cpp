#include "common/platform/linux/SyslogLog.h"

#include <cstdio>
#include <syslog.h>

SyslogLog::SyslogLog(QByteArray ident) : ident_(std::move(ident)) {
    ::openlog(ident_.constData(), LOG_PID, LOG_USER);
}

SyslogLog::~SyslogLog() {
    ::closelog();
}

void SyslogLog::log(const QString& line) {
    const QByteArray text = line.toUtf8();
    ::syslog(LOG_NOTICE, "%s", text.constData());
    std::fprintf(stderr, "%s: %s\n", ident_.constData(), text.constData());
    std::fflush(stderr);
}
