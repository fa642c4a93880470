// The lock window's password field and the retry lock-out.
#include "VessikAppDelegate.h"

void VessikAppDelegate::passwordTextbox(QLineEdit* /*sender*/) {
    readPlist(QStringLiteral("Settings"));
}

void VessikAppDelegate::enablePasswordTextbox() {}
