// Start-up, the status item and its menu, and the delegate's own plumbing.
#include "VessikAppDelegate.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QCursor>
#include <QtGui/QIcon>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QWidget>

#include "SettingsKeys.h"

namespace {

// How long a missing tray host may take to appear: panels often start after the
// programs of the session.
constexpr int kTrayHostWaitMs = 3000;

} // namespace

VessikAppDelegate* selfC = nullptr;

VessikAppDelegate::VessikAppDelegate(Bundle bundle, PlatformServices platform, QObject* parent)
    : QObject(parent), bundle_(std::move(bundle)), platform_(std::move(platform)), lockSession_(new LockSession(this)) {
    if (platform_.displays) {
        // The lock window says whether it waits for the keyboard; the session
        // hears once the lock holds.
        platform_.displays->setInputHeldCallback([this](bool held) {
            showLockFeedback();
            if (held) {
                lockBeganToHold();
            }
        });
        platform_.displays->setKeyboardChangedCallback([this] { showLockFeedback(); });
        // The system refused the lock, or ended it (Wayland): nothing is covered, so
        // nothing may claim a lock; Vessik is unlocked again.
        platform_.displays->setCaptureLostCallback([this](const QString& why) {
            if (isCaptured_) {
                log(QStringLiteral("The lock did not hold: %1.").arg(why));
                lockLostBecause_ = why;
                unlockScreen();
                lockLostBecause_.clear();
            }
        });
    }
    lockCommandTimer_.setSingleShot(true);
    connect(&lockCommandTimer_, &QTimer::timeout, this, &VessikAppDelegate::lockCommandTimedOut);
}

VessikAppDelegate::~VessikAppDelegate() {
    if (selfC == this) {
        selfC = nullptr;
        setSystemIdleCounter(nullptr);
    }
}

void VessikAppDelegate::log(const QString& line) const {
    if (platform_.log) {
        platform_.log->log(line);
    }
}

QTimer* VessikAppDelegate::scheduleInactivityTimer() {
    auto* timer = new QTimer(this); // owned by the delegate; a lock deletes it
    timer->setObjectName(QStringLiteral("inactivityTimer"));
    timer->setInterval(1000);
    timer->setTimerType(Qt::PreciseTimer); // a paced interval must not fire late
    timer->setSingleShot(false);
    connect(timer, &QTimer::timeout, this, &VessikAppDelegate::inactivityLock);
    timer->start();
    return timer;
}

void VessikAppDelegate::awakeFromNib() {
    selfC = this;
    setSystemIdleCounter(platform_.idle.get());
    trayItem_ = std::make_unique<QSystemTrayIcon>();
    trayItem_->setObjectName(QStringLiteral("trayItem"));
    trayItem_->setContextMenu(trayMenu_);
    trayItem_->setIcon(QIcon(bundle_.pathForResource(QStringLiteral("tray"), QStringLiteral("png"))));
    trayItem_->setToolTip(QStringLiteral("Vessik"));
    // A left click opens the same menu as a right click, like a menu-bar status item.
    connect(trayItem_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && trayMenu_ != nullptr) {
            trayMenu_->popup(QCursor::pos());
        }
    });
    trayItem_->show();
}

void VessikAppDelegate::applicationDidFinishLaunching() {
    selfC = this;
    isCaptured_ = false;
    initSettings();
    initHotKeys();
    inactivityTimer_ = scheduleInactivityTimer();
    if (platform_.idle && !platform_.lockRefusal) {
        // Where idleness comes as an event (Wayland), the idle check runs at once.
        platform_.idle->setIdleChangedCallback([this] {
            if (inactivityTimer_ != nullptr) {
                inactivityLock();
            }
        });
        if (!platform_.idle->idleNanoseconds()) {
            log(QStringLiteral("The idle time cannot be read in this session: the idle lock (\"InactivityTime\") "
                               "is not available here; the hotkey, vessik --lock and the session still lock."));
        }
    }
    if (!bundle_.resourcesWritable()) {
        log(QStringLiteral("Vessik runs from a copy shared by every user (%1): its settings cannot be saved. "
                           "Install Vessik for yourself with vessik-install, or Vessik Install from the menu.")
                .arg(bundle_.root()));
    }
    watchSettingsFile();
    startSessionIntegration();
    checkTrayHost();
    // Started again by the guard of a lock while that lock is in force: the lock
    // comes back at once, before any tick.
    if (platform_.lockKeeper) {
        if (const std::optional<QByteArray> state = platform_.lockKeeper->resumedLock(); state && !isCaptured_) {
            resumeLock(*state);
        }
    }
    // Requests of later starts, once a resumed lock is back in force (they wait until then).
    if (platform_.instance) {
        platform_.instance->setRequestCallback(
            [this](SingleInstance::Request request, std::unique_ptr<SingleInstance::Requester> requester) {
                instanceRequested(request, std::move(requester));
            });
    }
}

void VessikAppDelegate::checkTrayHost() {
    if (platform_.lockRefusal || QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    QTimer::singleShot(kTrayHostWaitMs, this, [this] {
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            return;
        }
        log(QStringLiteral("No system tray on this desktop: Vessik runs without its tray icon. Start Vessik again "
                           "from the application menu to open its settings."));
        // Without a password Vessik never locks, and here nothing else would say so
        // (a lock resumed without one is no time to ask).
        readPlist(kSettingsResource);
        if (!properties_.contains(SettingsKeys::Password) && !isCaptured_) {
            settingsButton(nullptr);
        }
    });
}

void VessikAppDelegate::settingsButton(QObject* /*sender*/) {
    if (settingsWindow_ == nullptr && settingsWindowFactory_) {
        settingsWindowFactory_(); // builds the window and connects its outlets
    }
    initSettings();
    if (settingsWindow_ != nullptr) {
        settingsWindow_->show();
        settingsWindow_->raise();
        settingsWindow_->activateWindow();
    }
}

void VessikAppDelegate::settingsRequested() {
    if (!isCaptured_) {
        settingsButton(nullptr);
    }
}

void VessikAppDelegate::closeButton(QObject* /*sender*/) {
    QCoreApplication::quit();
}
