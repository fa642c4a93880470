// CPU time of one idle-timer tick (settings reload plus idle query), measured in
// process with the real X11 services against the display in DISPLAY.
//
//   vessik-tick-bench BUNDLE_DIR [TICKS]
//
// Prints the mean CPU microseconds per tick of inactivityLock, and separately of
// the settings reload and of the idle query.
#include <cstdio>
#include <ctime>
#include <functional>

#include <QtWidgets/QApplication>

#include "VessikAppDelegate.h"
#include "common/Bundle.h"
#include "platform/PlatformServices.h"

namespace {

double cpuMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double perCall(int n, const std::function<void()>& f) {
    f(); // warm up
    const double start = cpuMicroseconds();
    for (int i = 0; i < n; ++i) {
        f();
    }
    return (cpuMicroseconds() - start) / n;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vessik-tick-bench BUNDLE_DIR [TICKS]\n");
        return 2;
    }
    QApplication app(argc, argv);
    const int ticks = argc > 2 ? std::atoi(argv[2]) : 5000;
    VessikAppDelegate delegate(Bundle(QString::fromLocal8Bit(argv[1])), makeLinuxPlatform());
    setSystemIdleCounter(delegate.platform().idle.get());
    delegate.readPlist(QStringLiteral("Settings"));
    if (delegate.properties().integerValue(QStringLiteral("InactivityTime")) < 1000) {
        std::fprintf(stderr, "vessik-tick-bench: use a bundle with a large InactivityTime, or ticks lock\n");
        return 2;
    }
    if (SystemIdleTime() < 0) {
        std::fprintf(stderr, "vessik-tick-bench: the idle time cannot be read on this display\n");
        return 1;
    }
    const double tick = perCall(ticks, [&] { delegate.inactivityLock(); });
    const double reload = perCall(ticks, [&] { delegate.readPlist(QStringLiteral("Settings")); });
    const double idle = perCall(ticks, [] { (void)SystemIdleTime(); });
    std::printf("tick_us %.1f\nreload_us %.1f\nidle_query_us %.1f\n", tick, reload, idle);
    return 0;
}
