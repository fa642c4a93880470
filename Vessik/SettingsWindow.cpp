// The settings window: filling the form, saving it, browsing for a picture.
#include "VessikAppDelegate.h"

void VessikAppDelegate::initSettings() {
    readPlist(QStringLiteral("Settings"));
}

void VessikAppDelegate::saveButton(QObject* /*sender*/) {}

void VessikAppDelegate::cancelButton(QObject* /*sender*/) {}

void VessikAppDelegate::browseButton(QObject* /*sender*/) {}
