// The system's text for an errno value, as the log and the messages show it.
#pragma once

#include <cstring>

#include <QtCore/QString>

inline QString systemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
