// The warning about hotkey keys that the system already uses.
#include <vector>

#include <QtCore/QCoreApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "VessikAppDelegate.h"

namespace {

QString comboText(const QComboBox* box) {
    return box != nullptr ? box->currentText() : QString();
}

} // namespace

void VessikAppDelegate::changeLockHotkeys(QComboBox* sender) {
    showLockBindingHint();
    if (lockHintLabel_ != nullptr && !lockHintLabel_->text().isEmpty()) {
        return; // bound in the desktop: its bindings cannot be seen from here
    }
    if (!isKeyAvailable(keyCodeForKeyString(comboText(lockDropdown_)))) {
        unavailableKeyMessage(comboText(sender));
    }
}

void VessikAppDelegate::showLockBindingHint() {
    if (lockHintLabel_ == nullptr || !platform_.hotKeys) {
        return;
    }
    auto checked = [](const QCheckBox* box) { return box != nullptr && box->isChecked(); };
    const std::uint32_t modifiers = (checked(lockShiftCheckbox_) ? std::uint32_t{shiftKey} : 0u) |
                                    (checked(lockControlCheckbox_) ? std::uint32_t{controlKey} : 0u) |
                                    (checked(lockAltCheckbox_) ? std::uint32_t{optionKey} : 0u);
    const QString hint = platform_.hotKeys->lockBindingHint(keyCodeForKeyString(comboText(lockDropdown_)), modifiers);
    lockHintLabel_->setText(hint);
    lockHintLabel_->setVisible(!hint.isEmpty());
}

void VessikAppDelegate::changeOffHotkeys(QComboBox* sender) {
    if (!isKeyAvailable(keyCodeForKeyString(comboText(offDropdown_)))) {
        unavailableKeyMessage(comboText(sender));
    }
}

bool VessikAppDelegate::isKeyAvailable(std::int32_t keyCode) {
    std::vector<SymbolicHotKey> keys;
    if (!platform_.symbolicHotKeys || !platform_.symbolicHotKeys->copySymbolicHotKeys(keys)) {
        return true; // the system's hotkeys cannot be listed: nothing to warn about
    }
    for (const SymbolicHotKey& key : keys) {
        if (key.keyCode == keyCode && key.enabled) {
            return false;
        }
    }
    return true;
}

void VessikAppDelegate::unavailableKeyMessage(const QString& keyName) {
    // The title is not translated; the two buttons are.
    const QString title = QStringLiteral("Key \"") + keyName +
                          QStringLiteral("\" is in use by a system and it may work incorrectly. "
                                         "You can try it or change system hotkeys.");
    // The title is the alert's main text and also its window title, so that a
    // task list or window switcher names the key too.
    QMessageBox alert(QMessageBox::Warning, title, title, QMessageBox::NoButton, settingsWindow_);
    alert.setObjectName(QStringLiteral("unavailableKeyAlert"));
    alert.setInformativeText(QString()); // the empty message
    QPushButton* tryIt =
        alert.addButton(QCoreApplication::translate("VessikAppDelegate", "Try it"), QMessageBox::AcceptRole);
    tryIt->setObjectName(QStringLiteral("tryItButton"));
    QPushButton* change =
        alert.addButton(QCoreApplication::translate("VessikAppDelegate", "Change"), QMessageBox::RejectRole);
    change->setObjectName(QStringLiteral("changeButton"));
    alert.setDefaultButton(tryIt);
    alert.setEscapeButton(tryIt); // closing the alert without an answer changes nothing
    alert.exec();
    if (alert.clickedButton() == change) {
        platform_.preferencePane->openKeyboardPreferences();
    }
}
