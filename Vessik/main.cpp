// Vessik: a password screen locker that lives in the tray.
#include <clocale>
#include <cstdio>
#include <cstring>

#include <QtCore/QTimer>
#include <QtCore/QTranslator>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>

#include "MainInterface.h"
#include "TestLockSignal.h"
#include "Translations.h"
#include "VessikAppDelegate.h"
#include "common/Bundle.h"
#include "common/platform/linux/SyslogLog.h"
#include "keeper/link/GuardProtocol.h"
#include "platform/PlatformServices.h"

namespace {

const char kUsage[] = "Usage: vessik [--lock [--wait]] [--help] [--version]\n"
                      "A password screen locker that lives in the tray.\n"
                      "\n"
                      "Without an option, Vessik starts in the tray; when it already runs for this user\n"
                      "and display, the running one opens its settings window instead.\n"
                      "\n"
                      "  --lock     ask the running Vessik to lock the screen: exits 0 once the lock\n"
                      "             holds, 1 when no Vessik runs or it did not lock (the reason on\n"
                      "             standard error); starts no Vessik and opens no window\n"
                      "  --wait     with --lock: exit only when that lock ends\n"
                      "  --help     show this help and exit\n"
                      "  --version  show the version and exit\n";

// The options, when there are any: the exit status of what they asked for (the
// program then does nothing else); nothing for a plain start.
std::optional<int> runOptions(int argc, char** argv) {
    if (argc <= 1) {
        return std::nullopt;
    }
    bool lock = false;
    bool wait = false;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(option, "--version") == 0) {
            std::printf("Vessik %s\n", VESSIK_VERSION);
            return 0;
        }
        if (std::strcmp(option, "--lock") == 0) {
            lock = true;
        } else if (std::strcmp(option, "--wait") == 0) {
            wait = true;
        } else {
            std::fprintf(stderr, "vessik: unknown option %s\n%s", option, kUsage);
            return 2;
        }
    }
    if (!lock) {
        std::fprintf(stderr, "vessik: --wait goes with --lock\n%s", kUsage);
        return 2;
    }
    return askRunningVessikToLock(wait);
}

} // namespace

int main(int argc, char** argv) {
    // Before anything secret is in memory: no core file, no tracing, no reading it.
    const bool undumpable = makeProcessUndumpable();
    if (const std::optional<int> status = runOptions(argc, argv)) {
        return *status;
    }
    // Without any display Qt would abort with advice to reinstall, and a Wayland
    // compositor without the session lock cannot be locked at all: say so and end.
    if (const std::optional<SessionRefusal> refusal = sessionRefusal(); refusal && refusal->noDisplay) {
        SyslogLog().log(refusal->reason);
        if (isWaylandSession()) {
            QCoreApplication core(argc, argv);
            showDesktopNotification(refusal->reason);
        }
        return 1;
    }
    if (isWaylandSession()) {
        // Qt's own windows (the settings) as Wayland windows, unless the user chose otherwise.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "wayland");
        }
    } else if (const std::optional<DisplayProblem> problem = displayProblem()) {
        SyslogLog().log(problem->reason);
        return problem->refused ? guardlink::kExitDisplayRefused : 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vessik"));
    QApplication::setQuitOnLastWindowClosed(false); // the tray item is the program's presence
    // Property lists parse reals with the C library: keep its number format neutral.
    std::setlocale(LC_NUMERIC, "C");
    // The user's language from the bundle's translations; English without one.
    QTranslator translator;
    if (loadBundleTranslation(translator, Bundle::main(), QLocale())) {
        QCoreApplication::installTranslator(&translator);
    }

    PlatformServices platform = makeLinuxPlatform();
    if (!undumpable) {
        platform.log->log(QStringLiteral("Cannot make the process non-dumpable; its memory stays readable."));
    }
    // One Vessik per user and display, decided before anything is shown.
    QString why;
    const SingleInstance::Claim claim = platform.instance->claim(sessionDisplayName(), &why);
    if (!why.isEmpty()) {
        platform.log->log(why);
    }
    if (claim == SingleInstance::Claim::Running) {
        return 0;
    }
    // The guard, before anything can lock: a lock never waits for it.
    platform.lockKeeper->start();
    if (platform.lockRefusal) {
        platform.log->log(*platform.lockRefusal);
        // Shown where Vessik stays without ever locking (an X server it cannot use).
        auto* box =
            new QMessageBox(QMessageBox::Warning, QStringLiteral("Vessik"), *platform.lockRefusal, QMessageBox::Ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
    }

    MainInterface interface(Bundle::main(), std::move(platform), MainInterface::SettingsWindowCreation::OnFirstOpen);
    VessikAppDelegate& delegate = interface.delegate();
    delegate.awakeFromNib();
    installTestLockSignal(&delegate);
    QTimer::singleShot(0, &delegate, &VessikAppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
