#include "MainInterface.h"

#include <QtWidgets/QMenu>

#include "OverrideWindow.h"
#include "PasswordField.h"
#include "VessikAppDelegate.h"
#include "platform/KeyNames.h"
#include "ui_LockWindow.h"
#include "ui_SettingsWindow.h"

MainInterface::MainInterface(Bundle bundle, PlatformServices platform, SettingsWindowCreation creation)
    : lockWindow_(std::make_unique<OverrideWindow>()), trayMenu_(std::make_unique<QMenu>()),
      delegate_(std::make_unique<VessikAppDelegate>(std::move(bundle), std::move(platform))) {
    if (creation == SettingsWindowCreation::AtStart) {
        createSettingsWindow();
    } else {
        delegate_->setSettingsWindowFactory([this] { createSettingsWindow(); });
    }
    connectLockWindow();
    buildTrayMenu();
}

void MainInterface::createSettingsWindow() {
    if (settingsWindow_ != nullptr) {
        return;
    }
    settingsWindow_ = std::make_unique<QWidget>();
    settingsUi_ = std::make_unique<Ui::SettingsWindow>();
    settingsUi_->setupUi(settingsWindow_.get());
    connectSettingsWindow();
}

// The delegate goes first: it refers to the windows, never the other way round.
MainInterface::~MainInterface() {
    delegate_.reset();
}

void MainInterface::connectSettingsWindow() {
    Ui::SettingsWindow& ui = *settingsUi_;
    VessikAppDelegate* d = delegate_.get();

    // The key choosers offer the key names of the hotkey table, in its order.
    for (const KeyName& key : keyNameTable()) {
        const QString name = QString::fromLatin1(key.name);
        ui.lockDropdown->addItem(name);
        ui.offDropdown->addItem(name);
    }
    ui.imageRadiobutton->setId(ui.imageBuiltinRadio, 0);
    ui.imageRadiobutton->setId(ui.imageFileRadio, 1);

    d->setSettingsWindow(settingsWindow_.get());
    d->setLanguageDropdown(ui.languageDropdown);
    d->setLockShiftCheckbox(ui.lockShiftCheckbox);
    d->setLockControlCheckbox(ui.lockControlCheckbox);
    d->setLockAltCheckbox(ui.lockAltCheckbox);
    d->setLockDropdown(ui.lockDropdown);
    d->setOffShiftCheckbox(ui.offShiftCheckbox);
    d->setOffControlCheckbox(ui.offControlCheckbox);
    d->setOffAltCheckbox(ui.offAltCheckbox);
    d->setOffDropdown(ui.offDropdown);
    d->setOldPassTextbox(ui.oldPassTextbox);
    d->setNewPassTextbox(ui.newPassTextbox);
    d->setConfirmPassTextbox(ui.confirmPassTextbox);
    d->setInactivityTextbox(ui.inactivityTextbox);
    d->setImageRadiobutton(ui.imageRadiobutton);
    d->setImagePathTextbox(ui.imagePathTextbox);
    d->setRetriesTimeTextbox(ui.retriesTimeTextbox);
    d->setRetriesCountTextbox(ui.retriesCountTextbox);
    d->setErrorLabel(ui.errorLabel);
    d->setLockHintLabel(ui.lockHint);
    d->setInactivityHintLabel(ui.inactivityHint);

    QObject::connect(ui.saveButton, &QPushButton::clicked, d, [d, b = ui.saveButton] { d->saveButton(b); });
    QObject::connect(ui.cancelButton, &QPushButton::clicked, d, [d, b = ui.cancelButton] { d->cancelButton(b); });
    QObject::connect(ui.browseButton, &QPushButton::clicked, d, [d, b = ui.browseButton] { d->browseButton(b); });
    // A key choice made by the user (not one set by the program) runs the conflict check.
    QObject::connect(ui.lockDropdown, &QComboBox::activated, d, [d, c = ui.lockDropdown] { d->changeLockHotkeys(c); });
    for (QCheckBox* box : {ui.lockShiftCheckbox, ui.lockControlCheckbox, ui.lockAltCheckbox}) {
        QObject::connect(box, &QCheckBox::toggled, d, &VessikAppDelegate::showLockBindingHint);
    }
    QObject::connect(ui.offDropdown, &QComboBox::activated, d, [d, c = ui.offDropdown] { d->changeOffHotkeys(c); });
}

void MainInterface::connectLockWindow() {
    const Ui::LockWindow& ui = lockWindow_->ui();
    VessikAppDelegate* d = delegate_.get();
    d->setLockWindow(lockWindow_.get());
    d->setBackgroundImage(ui.backgroundImage);
    d->setPasswordTextbox(ui.passwordTextbox);
    // The entry is submitted with Return.
    QObject::connect(ui.passwordTextbox, &QLineEdit::returnPressed, d,
                     [d, field = ui.passwordTextbox] { d->passwordTextbox(field); });
    // Each key may have turned Caps Lock on or off.
    QObject::connect(ui.passwordTextbox, &PasswordField::keyEventSeen, d, &VessikAppDelegate::showLockFeedback);
}

void MainInterface::buildTrayMenu() {
    VessikAppDelegate* d = delegate_.get();
    trayMenu_->setObjectName(QStringLiteral("trayMenu"));
    QAction* settings = trayMenu_->addAction(QObject::tr("Settings…"));
    settings->setObjectName(QStringLiteral("settingsAction"));
    QObject::connect(settings, &QAction::triggered, d, [d, settings] { d->settingsButton(settings); });
    trayMenu_->addSeparator();
    QAction* quit = trayMenu_->addAction(QObject::tr("Quit Vessik"));
    quit->setObjectName(QStringLiteral("quitAction"));
    QObject::connect(quit, &QAction::triggered, d, [d, quit] { d->closeButton(quit); });
    d->trayMenu_ = trayMenu_.get();
}
