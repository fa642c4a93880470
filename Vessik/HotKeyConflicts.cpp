// The warning about hotkey keys that the system already uses.
#include <vector>

#include <QtCore/QCoreApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "VessikAppDelegate.h"

namespace {

QString comboText(const QComboBox* box) {
    return box != nullptr ? box->currentText() : QString();
}

} // namespace

void VessikAppDelegate::changeLockHotkeys(QComboBox* sender) {
    if (!isKeyAvailable(keyCodeForKeyString(comboText(lockDropdown_)))) {
        unavailableKeyMessage(comboText(sender));
    }
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
