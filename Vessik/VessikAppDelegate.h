#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QtCore/QList>
#include <QtCore/QMap>
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtCore/QTimer>

#include "LockSession.h"
#include "common/Bundle.h"
#include "platform/PlatformServices.h"
#include "platform/PropertyList.h"

class OverrideWindow;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QSystemTrayIcon;
class QWidget;

// A process record of the forced shutdown: "pname", "pid" and "uid", as text.
using ProcessRecord = QMap<QString, QString>;

// The one application delegate of Vessik: it holds all of the program's state and
// carries every operation. Its definitions are spread over files by concern:
// VessikAppDelegate.cpp (start-up, status menu, accessors), SettingsStore.cpp,
// LockScreen.cpp, LockCommand.cpp, PasswordEntry.cpp, ForcedShutdown.cpp,
// HotKeys.cpp, HotKeyConflicts.cpp, IdleLock.cpp, SettingsWindow.cpp and
// SessionIntegration.cpp.
//
// Outlets are non-owning: the windows and controls belong to the interface
// (MainInterface), which connects them through the setters.
class VessikAppDelegate : public QObject {
    Q_OBJECT
    friend class MainInterface; // connects the outlets that have no setter (trayMenu)

public:
    // `bundle` is where the settings file and the pictures are looked up;
    // `platform` supplies every machine service.
    VessikAppDelegate(Bundle bundle, PlatformServices platform, QObject* parent = nullptr);
    ~VessikAppDelegate() override;

    // --- Start-up and the status menu ---------------------------------------
    void awakeFromNib();
    void applicationDidFinishLaunching();
    void settingsButton(QObject* sender);
    void closeButton(QObject* sender);
    // Another Vessik of this user and display asked for the settings window: it
    // opens as from the status menu, except during a lock, when nothing happens.
    void settingsRequested();
    // A later process of this user and display asked for something (LockCommand.cpp):
    // the settings window (settingsRequested), or a lock (`vessik --lock`), which is
    // answered once it holds, or refused with the reason when lockScreen does not
    // lock or the lock does not hold within kLockCommandWaitMs (a lock that only
    // such requests asked for is then taken back). With `--wait` the requester
    // also hears when the lock ends.
    void instanceRequested(SingleInstance::Request request, std::unique_ptr<SingleInstance::Requester> requester);
    static constexpr int kLockCommandWaitMs = 5000;

    // --- Settings store ------------------------------------------------------
    // Loads Resources/NAME.plist into `properties` (null on failure, logged).
    void readPlist(const QString& name);
    // Writes `dict` over Resources/NAME.plist as XML, atomically, mode 0600.
    // Returns whether the file now holds `dict`; failures are also logged.
    bool writePlist(const PropertyList& dict, const QString& name);

    // --- Lock ------------------------------------------------------------------
    void lockScreen();
    void unlockScreen();
    // Brings the lock window up to date while locked: the password field takes
    // input only while the keyboard and pointer are held and no wrong entry has
    // it disabled, and the lines below it say which of these holds, whether the
    // next wrong entry forces the shutdown, and whether Caps Lock is on. Runs when
    // the held input changes and at every key event of the field.
    void showLockFeedback();

    // --- Password entry ------------------------------------------------------
    void passwordTextbox(QLineEdit* sender);
    void enablePasswordTextbox();

    // --- Forced shutdown -------------------------------------------------------
    QList<ProcessRecord> GetProcessList();
    void forceShutDown();

    // --- Hotkeys ---------------------------------------------------------------
    // The virtual key code of a key name ("F1".."F12", "0".."9", "A".."Z"); 0 for
    // any other name, the empty name and a missing one.
    static std::int32_t keyCodeForKeyString(const std::optional<QString>& name);
    void initHotKeys();

    // --- Hotkey conflict check -----------------------------------------------
    void changeLockHotkeys(QComboBox* sender);
    void changeOffHotkeys(QComboBox* sender);
    bool isKeyAvailable(std::int32_t keyCode);
    void unavailableKeyMessage(const QString& keyName);
    // Where the system cannot hold hotkeys (Wayland), shows below the lock hotkey
    // how to bind it in the desktop, for the combination chosen now; hidden
    // elsewhere. The conflict check, which cannot see such bindings, is not made there.
    void showLockBindingHint();

    // --- Idle lock ---------------------------------------------------------------
    void inactivityLock();

    // --- Session integration -------------------------------------------------
    // Listens to the login session, offers the screen-saver service and takes the
    // sleep inhibitor where one belongs; logs what it cannot reach. Nothing where
    // the session cannot be locked.
    void startSessionIntegration();
    // Before the system sleeps (true): lock, and let the sleep go ahead once the
    // lock holds, or when it cannot, at the latest kSleepDelayMs later. After it
    // (false): take the sleep inhibitor again where one belongs.
    void prepareForSleep(bool starting);
    // Whether a lock holds: the displays are captured and the keyboard and the
    // pointer have been held since the lock began. False while unlocked.
    bool lockHolds() const { return lockSession_->holds(); }
    // The longest a sleep waits for the lock.
    static constexpr int kSleepDelayMs = 5000;

    // --- Settings window -----------------------------------------------------
    void initSettings();
    void saveButton(QObject* sender);
    void cancelButton(QObject* sender);
    void browseButton(QObject* sender);
    // How browseButton shows its picture chooser: runs `dialog` modally and returns
    // QDialog::Accepted or QDialog::Rejected. Unset, it is QDialog::exec(); tests
    // answer the real dialog through it instead of a person.
    using FileDialogRunner = std::function<int(QFileDialog& dialog)>;
    void setFileDialogRunner(FileDialogRunner runner) { fileDialogRunner_ = std::move(runner); }

    // --- Accessor pairs ----------------------------------------------------------
    const PropertyList& properties() const { return properties_; }
    PropertyList& properties() { return properties_; }
    void setProperties(PropertyList value) { properties_ = std::move(value); }
    QTimer* inactivityTimer() const { return inactivityTimer_; }
    void setInactivityTimer(QTimer* value) { inactivityTimer_ = value; }
    QLabel* backgroundImage() const { return backgroundImage_; }
    void setBackgroundImage(QLabel* value) { backgroundImage_ = value; }
    QWidget* settingsWindow() const { return settingsWindow_; }
    void setSettingsWindow(QWidget* value) { settingsWindow_ = value; }
    OverrideWindow* lockWindow() const { return lockWindow_; }
    void setLockWindow(OverrideWindow* value) { lockWindow_ = value; }
    QComboBox* languageDropdown() const { return languageDropdown_; }
    void setLanguageDropdown(QComboBox* value) { languageDropdown_ = value; }
    QCheckBox* lockShiftCheckbox() const { return lockShiftCheckbox_; }
    void setLockShiftCheckbox(QCheckBox* value) { lockShiftCheckbox_ = value; }
    QCheckBox* lockControlCheckbox() const { return lockControlCheckbox_; }
    void setLockControlCheckbox(QCheckBox* value) { lockControlCheckbox_ = value; }
    QCheckBox* lockAltCheckbox() const { return lockAltCheckbox_; }
    void setLockAltCheckbox(QCheckBox* value) { lockAltCheckbox_ = value; }
    QComboBox* lockDropdown() const { return lockDropdown_; }
    void setLockDropdown(QComboBox* value) { lockDropdown_ = value; }
    QCheckBox* offShiftCheckbox() const { return offShiftCheckbox_; }
    void setOffShiftCheckbox(QCheckBox* value) { offShiftCheckbox_ = value; }
    QCheckBox* offControlCheckbox() const { return offControlCheckbox_; }
    void setOffControlCheckbox(QCheckBox* value) { offControlCheckbox_ = value; }
    QCheckBox* offAltCheckbox() const { return offAltCheckbox_; }
    void setOffAltCheckbox(QCheckBox* value) { offAltCheckbox_ = value; }
    QComboBox* offDropdown() const { return offDropdown_; }
    void setOffDropdown(QComboBox* value) { offDropdown_ = value; }
    QLineEdit* oldPassTextbox() const { return oldPassTextbox_; }
    void setOldPassTextbox(QLineEdit* value) { oldPassTextbox_ = value; }
    QLineEdit* newPassTextbox() const { return newPassTextbox_; }
    void setNewPassTextbox(QLineEdit* value) { newPassTextbox_ = value; }
    QLineEdit* confirmPassTextbox() const { return confirmPassTextbox_; }
    void setConfirmPassTextbox(QLineEdit* value) { confirmPassTextbox_ = value; }
    QLineEdit* inactivityTextbox() const { return inactivityTextbox_; }
    void setInactivityTextbox(QLineEdit* value) { inactivityTextbox_ = value; }
    QButtonGroup* imageRadiobutton() const { return imageRadiobutton_; }
    void setImageRadiobutton(QButtonGroup* value) { imageRadiobutton_ = value; }
    QLineEdit* imagePathTextbox() const { return imagePathTextbox_; }
    void setImagePathTextbox(QLineEdit* value) { imagePathTextbox_ = value; }
    QLineEdit* retriesTimeTextbox() const { return retriesTimeTextbox_; }
    void setRetriesTimeTextbox(QLineEdit* value) { retriesTimeTextbox_ = value; }
    QLineEdit* retriesCountTextbox() const { return retriesCountTextbox_; }
    void setRetriesCountTextbox(QLineEdit* value) { retriesCountTextbox_ = value; }
    QLabel* errorLabel() const { return errorLabel_; }
    void setErrorLabel(QLabel* value) { errorLabel_ = value; }
    QLabel* lockHintLabel() const { return lockHintLabel_; }
    void setLockHintLabel(QLabel* value) { lockHintLabel_ = value; }
    QLabel* inactivityHintLabel() const { return inactivityHintLabel_; }
    void setInactivityHintLabel(QLabel* value) { inactivityHintLabel_ = value; }
    QLineEdit* passwordTextbox() const { return passwordTextbox_; }
    void setPasswordTextbox(QLineEdit* value) { passwordTextbox_ = value; }

    // Builds the settings window and connects its outlets, for an interface that
    // builds it only when the user first opens it (settingsButton calls it).
    void setSettingsWindowFactory(std::function<void()> factory) { settingsWindowFactory_ = std::move(factory); }

    // --- State without accessor pairs, readable for tests and the platform ---
    bool isCaptured() const { return isCaptured_; }
    QMenu* trayMenu() const { return trayMenu_; }
    QSystemTrayIcon* trayItem() const { return trayItem_.get(); }
    const EventHotKeyRef& hotKeyRef1() const { return hotKeyRef1_; }
    const EventHotKeyRef& hotKeyRef2() const { return hotKeyRef2_; }
    const Bundle& bundle() const { return bundle_; }
    PlatformServices& platform() { return platform_; }

private:
    // A new repeating one-second timer that sends inactivityLock, owned by the delegate.
    QTimer* scheduleInactivityTimer();
    // Lengthens the idle timer's next interval while the lock cannot come due.
    void paceInactivityTimer(std::int64_t idleSeconds, std::int64_t limit);
    // Brings the one-second idle tick back: the lock may be due sooner than paced.
    void restoreSecondTick();
    // Restores the one-second idle tick whenever the settings file may have changed.
    void watchSettingsFile();
    void log(const QString& line) const;
    // Whether the lock holds the keyboard and the pointer it took, if it took any.
    bool inputHeld() const;
    // Whether one more wrong entry would bring "RetryLeft" of `settings` to exactly 0.
    static bool nextWrongEntryShutsDown(const PropertyList& settings);
    // Whether lockScreen, with the settings loaded last, would lock.
    bool lockAllowed() const;
    // The lock's steps after the checks of lockScreen, for a lock begun with
    // `lockSettings`. With `pictureAfterField` the background picture is decoded
    // only once the window with its field has been painted.
    void beginLock(PropertyList lockSettings, bool pictureAfterField);
    // Decodes the background picture into the lock window.
    void showLockPicture();
    // Where the lock window goes: the screen it lies on, else the primary one, else
    // any, as long as it is at least 640x480 and lies on the area the shields
    // cover; else that whole area.
    QRect lockWindowRect() const;
    // Resumes the lock that `state` (LockSession::handOver() of an earlier
    // Vessik) describes, whatever the settings file says now.
    void resumeLock(const QByteArray& state);
    // Hands the lock's current state to its keeper.
    void handLockOver();
    // Disables the password field for `ms` milliseconds (enablePasswordTextbox ends it).
    void startLockOut(std::int64_t ms);
    // Without a tray host a few seconds after start-up: says so, and opens the
    // settings window while no password is stored.
    void checkTrayHost();
    // Session integration (SessionIntegration.cpp): the lock began to hold; the
    // lock ended; the sleep inhibitor held exactly while unlocked and able to lock.
    void lockBeganToHold();
    void sessionUnlocked();
    void updateSleepInhibitor();
    void letSleepGoAhead();
    // Tells the session whether the user is idle: while a lock holds, or once the
    // idle time has reached "InactivityTime" (`idleTimeReached`) and no program
    // holds the idle lock off. Only changes are sent.
    void updateIdleHint(bool idleTimeReached);
    // Whether another program holds the idle lock off.
    bool idleLockInhibited() const;
    // The lock command (LockCommand.cpp): why lockScreen did not lock; the
    // answers once the lock holds or has ended; the end of the wait for it to hold.
    QString lockRefusalReason() const;
    void answerLocked(std::unique_ptr<SingleInstance::Requester> requester, bool waits);
    void answerLockCommands();
    void lockCommandTimedOut();

    Bundle bundle_;
    PlatformServices platform_;

    // Fields in the order of the delegate's field table.
    PropertyList properties_;
    QPointer<QTimer> inactivityTimer_;
    std::function<void()> settingsWindowFactory_;
    QLabel* backgroundImage_ = nullptr;
    bool isCaptured_ = false;
    QWidget* settingsWindow_ = nullptr;
    OverrideWindow* lockWindow_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    std::unique_ptr<QSystemTrayIcon> trayItem_;
    EventHotKeyRef hotKeyRef1_;
    EventHotKeyRef hotKeyRef2_;
    EventHotKeyID hotKeyID_;
    EventTypeSpec eventType_;
    bool hotKeyHandlerInstalled_ = false; // the first initHotKeys installs HotKeyHandler, once
    QComboBox* languageDropdown_ = nullptr;
    QCheckBox* lockShiftCheckbox_ = nullptr;
    QCheckBox* lockControlCheckbox_ = nullptr;
    QCheckBox* lockAltCheckbox_ = nullptr;
    QComboBox* lockDropdown_ = nullptr;
    QCheckBox* offShiftCheckbox_ = nullptr;
    QCheckBox* offControlCheckbox_ = nullptr;
    QCheckBox* offAltCheckbox_ = nullptr;
    QComboBox* offDropdown_ = nullptr;
    QLineEdit* oldPassTextbox_ = nullptr;
    QLineEdit* newPassTextbox_ = nullptr;
    QLineEdit* confirmPassTextbox_ = nullptr;
    QLineEdit* inactivityTextbox_ = nullptr;
    QButtonGroup* imageRadiobutton_ = nullptr;
    QLineEdit* imagePathTextbox_ = nullptr;
    QLineEdit* retriesTimeTextbox_ = nullptr;
    QLineEdit* retriesCountTextbox_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QLabel* lockHintLabel_ = nullptr;       // below the lock hotkey: how to bind it where the system cannot hold it
    QLabel* inactivityHintLabel_ = nullptr; // below the idle seconds: also when the idle time cannot be read
    QLineEdit* passwordTextbox_ = nullptr;

    FileDialogRunner fileDialogRunner_;

    // The state of the lock in force (owned through the QObject tree).
    LockSession* lockSession_;
    bool sessionIntegrationStarted_ = false;
    bool sleepInhibitorWanted_ = false; // the sleep inhibitor is held, or asked for, while unlocked
    bool idleHint_ = false;             // the session's idle hint as last sent

    // Lock commands waiting for the lock to hold, and those waiting for it to end.
    struct PendingLockCommand {
        std::unique_ptr<SingleInstance::Requester> requester;
        bool waits; // for the end of the lock too
    };
    std::vector<PendingLockCommand> awaitingHold_;
    std::vector<std::unique_ptr<SingleInstance::Requester>> awaitingUnlock_;
    QTimer lockCommandTimer_;
    bool lockOnlyForCommand_ = false; // nothing but lock commands asked for the lock in force
    QString lockLostBecause_;         // while a lock the system refused is being ended: why
};

// The process-wide delegate, for plain callback functions; null until awakeFromNib.
extern VessikAppDelegate* selfC;

// The hotkey callback: dispatches a press on its id (1 lock, 2 shut down) to selfC.
int HotKeyHandler(const HotKeyEvent& event);

// Whole seconds since the last keyboard or pointer input, or -1 when unknown
// (also before a delegate has woken up and set the counter).
std::int64_t SystemIdleTime();
// The counter SystemIdleTime reads; awakeFromNib sets the delegate's, and its
// destruction clears it. Null: unknown.
void setSystemIdleCounter(IdleCounter* counter);
