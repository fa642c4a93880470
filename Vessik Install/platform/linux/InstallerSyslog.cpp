#include "platform/linux/InstallerSyslog.h"

#include <cstdio>
#include <syslog.h>

InstallerSyslog::InstallerSyslog() {
    ::openlog("Vessik Install", LOG_PID, LOG_USER);
}

InstallerSyslog::~InstallerSyslog() {
    ::closelog();
}

void InstallerSyslog::log(const QString& line) {
    const QByteArray text = line.toUtf8();
    ::syslog(LOG_NOTICE, "%s", text.constData());
    std::fprintf(stderr, "Vessik Install: %s\n", text.constData());
    std::fflush(stderr);
}
