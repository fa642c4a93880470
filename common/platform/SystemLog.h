#pragma once

#include <QtCore/QString>

// Where Vessik's log lines go. The real one writes each line to syslog(3)
// (ident "Vessik") and to standard error; tests hand in a fake that keeps them.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    // Writes one line. Never fails loudly: a log that cannot be written is dropped.
    virtual void log(const QString& line) = 0;
};
