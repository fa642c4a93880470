// Locking and unlocking the screen.
#include <chrono>
#include <malloc.h>
#include <vector>

#include <QtCore/QFileInfo>
#include <QtGui/QImageReader>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>

#include "OverrideWindow.h"
#include "Secret.h"
#include "SettingsKeys.h"
#include "VessikAppDelegate.h"

namespace {

// The most displays a lock lists and captures.
constexpr std::size_t kMaxDisplays = 100;

// The smallest screen the lock window goes on.
constexpr QSize kSmallestLockScreen(640, 480);

// The lock's background for a window of `size` device pixels: the file at
// "ImagePath" when "ImageType" is 1, else the bundle's screen.png. It is decoded
// straight at the window's size (filling it, the overflow of another aspect ratio
// cut off evenly) and kept in 24-bit RGB over black, three bytes a pixel instead
// of four. Null when the picture is missing or cannot be read.
QImage backgroundPicture(const PropertyList& settings, const Bundle& bundle, const QSize& size) {
    const QString path = settings.integerValue(SettingsKeys::ImageType) == 1
                             ? settings.stringValue(SettingsKeys::ImagePath).value_or(QString())
                             : bundle.pathForResource(QStringLiteral("screen"), QStringLiteral("png"));
    // Only a regular file: reading a FIFO or a device could block the locked screen for good.
    if (path.isEmpty() || size.isEmpty() || !QFileInfo(path).isFile()) {
        return {};
    }
    QImageReader reader(path);
    const QSize original = reader.size();
    if (!original.isValid()) {
        reader.setScaledSize(size);
    } else if (original != size) {
        const QSize filled = original.scaled(size, Qt::KeepAspectRatioByExpanding);
        reader.setScaledSize(filled);
        if (filled != size) {
            const QPoint offset((filled.width() - size.width()) / 2, (filled.height() - size.height()) / 2);
            reader.setScaledClipRect(QRect(offset, size));
        }
    }
    QImage image = reader.read();
    if (image.isNull()) {
        return {};
    }
    if (!image.hasAlphaChannel()) {
        return image.convertToFormat(QImage::Format_RGB888);
    }
    QImage opaque(image.size(), QImage::Format_RGB888);
    opaque.fill(Qt::black);
    QPainter(&opaque).drawImage(0, 0, image);
    return opaque;
}

} // namespace

QRect VessikAppDelegate::lockWindowRect() const {
    // A screen too small to type on (another program may define a monitor of a
    // pixel), or one that lies off the screen the shields cover, is not used.
    const QRect area = platform_.displays->screenArea();
    auto usable = [&area](const QScreen* screen) {
        const QRect r = screen != nullptr ? screen->geometry() : QRect();
        return r.width() >= kSmallestLockScreen.width() && r.height() >= kSmallestLockScreen.height() &&
               (area.isEmpty() || area.contains(r));
    };
    // The screen the window lies on; else the primary one; else any.
    QList<QScreen*> candidates{lockWindow_->screen(), QGuiApplication::primaryScreen()};
    candidates += QGuiApplication::screens();
    for (const QScreen* screen : std::as_const(candidates)) {
        if (usable(screen)) {
            return screen->geometry();
        }
    }
    // No usable screen: the whole area.
    if (!area.isEmpty()) {
        return area;
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    return primary != nullptr ? primary->geometry() : QRect();
}

bool VessikAppDelegate::lockAllowed() const {
    // A session that cannot be locked never is: a lock would claim what it does not hold.
    return !platform_.lockRefusal && properties_.contains(SettingsKeys::Password) &&
           properties_.integerValue(SettingsKeys::InactivityTime) != 0 && !isCaptured_;
}

void VessikAppDelegate::lockScreen() {
    if (platform_.lockRefusal) {
        return; // not even the settings file is read
    }
    // Asked for again: the lock in force is no longer the lock command's alone.
    lockOnlyForCommand_ = false;
    readPlist(kSettingsResource);
    if (!lockAllowed()) {
        return;
    }
    // The settings in force when the lock began answer the password check if the
    // file cannot be read later in the lock (PasswordEntry.cpp).
    beginLock(properties_, platform_.displays->drawsLockWindow());
}

void VessikAppDelegate::resumeLock(const QByteArray& state) {
    readPlist(kSettingsResource);
    std::optional<LockSession::HandedOver> handedOver = LockSession::readHandOver(state);
    const std::int64_t lockOutLeft =
        handedOver
            ? std::chrono::ceil<std::chrono::milliseconds>(handedOver->lockOutEnds - LockSession::Clock::now()).count()
            : 0;
    if (lockOutLeft > 0) {
        lockSession_->lockedOutUntil(handedOver->lockOutEnds);
    }
    // The programs that held the idle lock off still do, if they are still there.
    if (handedOver && !handedOver->inhibitions.empty() && platform_.screenSaver) {
        platform_.screenSaver->adoptInhibitions(handedOver->inhibitions);
    }
    // A state that cannot be read still locks: a failure never unlocks.
    beginLock(handedOver ? std::move(handedOver->settings) : properties_, true);
    if (lockOutLeft > 0) {
        startLockOut(lockOutLeft);
    }
}

void VessikAppDelegate::handLockOver() {
    if (platform_.lockKeeper) {
        platform_.lockKeeper->lockInForce(lockSession_->handOver(platform_.screenSaver
                                                                     ? platform_.screenSaver->inhibitions()
                                                                     : std::vector<ScreenSaverService::Inhibition>()));
    }
}

void VessikAppDelegate::beginLock(PropertyList lockSettings, bool pictureAfterField) {
    isCaptured_ = true;
    // Cover and grab first: everything after this is bookkeeping and drawing. The
    // lock outlives this process from the first capture on; its keeper gets the
    // state as soon as the screen is covered.
    DisplayCapture& displays = *platform_.displays;
    const std::vector<DisplayId> captured = displays.activeDisplays(kMaxDisplays);
    for (const DisplayId display : captured) {
        displays.capture(display);
    }
    // Without a display to capture (no X11 session) no input is taken, so there
    // is none to wait for.
    lockSession_->begin(std::move(lockSettings), !captured.empty(), nextWrongEntryShutsDown(properties_));

    if (inactivityTimer_ != nullptr) {
        inactivityTimer_->stop();
        inactivityTimer_->deleteLater(); // this may run inside the timer's own timeout
        inactivityTimer_ = nullptr;
    }
    if (passwordTextbox_ != nullptr) {
        wipeField(*passwordTextbox_);
    }
    handLockOver();
    if (lockWindow_ == nullptr) {
        return;
    }

    // The window's content is the full rectangle of its screen (it has no frame).
    lockWindow_->setGeometry(lockWindowRect());

    // An open menu holds a grab of its own and would give it back when it closes.
    for (int i = 0; i < 8 && QApplication::activePopupWidget() != nullptr; ++i) {
        QApplication::activePopupWidget()->close();
    }
    displays.showLockWindow(lockWindow_);
    if (lockWindow_->canBecomeMainWindow()) {
        lockWindow_->raise();
    }
    if (lockWindow_->canBecomeKeyWindow()) {
        lockWindow_->activateWindow();
        if (passwordTextbox_ != nullptr) {
            passwordTextbox_->setFocus(Qt::ActiveWindowFocusReason);
        }
    }
    displays.raiseAboveShields(lockWindow_);
    // The field waits until the keyboard and the pointer are held.
    showLockFeedback();

    if (pictureAfterField) {
        connect(lockWindow_, &OverrideWindow::painted, this, &VessikAppDelegate::showLockPicture,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
    } else {
        showLockPicture();
    }
}

void VessikAppDelegate::showLockPicture() {
    if (backgroundImage_ != nullptr && lockWindow_ != nullptr && isCaptured_) {
        const qreal ratio = lockWindow_->devicePixelRatioF();
        QImage picture = backgroundPicture(properties_.isNull() ? lockSession_->settings() : properties_, bundle_,
                                           lockWindow_->size() * ratio);
        if (picture.isNull()) {
            backgroundImage_->clear();
        } else {
            QPixmap pixmap = QPixmap::fromImage(std::move(picture), Qt::NoFormatConversion);
            pixmap.setDevicePixelRatio(ratio);
            backgroundImage_->setPixmap(pixmap);
        }
        // The decoder's full-size buffers are free now; give them back to the system.
        ::malloc_trim(0);
        platform_.displays->lockViewChanged();
    }
}

void VessikAppDelegate::unlockScreen() {
    // The guard lets go of the input first: it holds it for this process, and
    // nothing may hold it once the displays are given back.
    if (platform_.lockKeeper) {
        platform_.lockKeeper->lockEnded();
    }
    // Exactly one inactivity timer runs while unlocked.
    delete inactivityTimer_;
    inactivityTimer_ = scheduleInactivityTimer();
    if (lockWindow_ != nullptr) {
        lockWindow_->hide();
    }
    // The typed password does not stay in the hidden field.
    if (passwordTextbox_ != nullptr) {
        wipeField(*passwordTextbox_);
    }
    DisplayCapture& displays = *platform_.displays;
    for (const DisplayId display : displays.activeDisplays(kMaxDisplays)) {
        displays.release(display);
    }
    isCaptured_ = false;
    if (lockWindow_ != nullptr) {
        lockWindow_->showFeedback({});
    }

    // Nothing of the lock stays in memory while unlocked: the next lock loads the
    // picture again and recreates the window's native resources anyway.
    if (backgroundImage_ != nullptr) {
        backgroundImage_->clear();
    }
    if (lockWindow_ != nullptr) {
        lockWindow_->discardNativeWindow();
    }
    ::malloc_trim(0);
    sessionUnlocked(); // ends the lock's session
}

bool VessikAppDelegate::inputHeld() const {
    return lockSession_->inputHeld(platform_.displays->inputHeld());
}

void VessikAppDelegate::showLockFeedback() {
    if (!isCaptured_) {
        return;
    }
    const LockSession::Field field = lockSession_->field(platform_.displays->inputHeld());
    if (passwordTextbox_ != nullptr) {
        const bool usable = field == LockSession::Field::Ready;
        if (usable != passwordTextbox_->isEnabled()) {
            passwordTextbox_->setEnabled(usable);
            if (usable) {
                passwordTextbox_->setFocus(Qt::OtherFocusReason);
            }
        }
    }
    if (lockWindow_ != nullptr) {
        const KeyboardState keyboard = platform_.displays->keyboardState();
        lockWindow_->showFeedback({.waitingForKeyboard = field == LockSession::Field::WaitingForInput,
                                   .wrongPassword = lockSession_->lockedOut(),
                                   .lastAttempt = lockSession_->lastAttempt(),
                                   .capsLock = keyboard.capsLock,
                                   .shiftLock = keyboard.shiftLock,
                                   .layout = lockSession_->layoutToName(keyboard)});
    }
    platform_.displays->lockViewChanged();
}
