#pragma once

#include <optional>

#include <QtCore/QObject>
#include <QtCore/QString>

#include "platform/InstallerPlatform.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QWidget;

// The one application delegate of Vessik Install: it copies the Vessik bundle
// that the installer carries into the applications folder and sets the login
// item. Its outlets are non-owning: the window and its controls belong to the
// interface (InstallInterface), which connects them through the setters.
class Vessik_InstallAppDelegate : public QObject {
    Q_OBJECT

public:
    Vessik_InstallAppDelegate(InstallLocations locations, InstallerServices services, QObject* parent = nullptr);

    // Centres the window on its screen.
    void applicationDidFinishLaunching();
    // Copies the carried Vessik.app to the target path. On success sets the login
    // item from the check box, puts the installed program into the application
    // menu (a failure there is logged, the install still succeeded), shows the
    // success message in green and disables Install; on failure logs the error
    // and shows the failure message in red.
    void installButton(QObject* sender);
    // Quits the installer.
    void closeButton(QObject* sender);

    // Whether some login item starts the installed program. False when the login
    // items cannot be read.
    bool getStartAtLogin();
    // Adds a login item for the installed program unless one is there (true), or
    // removes the first one there is (false). Failures are not reported.
    void setStartAtLogin(bool enabled);

    static const QString kSuccessMessage;
    static const QString kFailureMessage;

    // --- Accessor pairs ----------------------------------------------------------
    QWidget* window() const { return window_; }
    void setWindow(QWidget* value) { window_ = value; }
    QCheckBox* autorunCheckBox() const { return autorunCheckBox_; }
    void setAutorunCheckBox(QCheckBox* value) { autorunCheckBox_ = value; }
    QLabel* messageLabel() const { return messageLabel_; }
    void setMessageLabel(QLabel* value) { messageLabel_ = value; }
    QPushButton* installButton() const { return installButton_; }
    void setInstallButton(QPushButton* value) { installButton_ = value; }

    const InstallLocations& locations() const { return locations_; }

private:
    // The first login item that resolves to the installed program, when the list
    // can be read; `listed` tells whether it could.
    std::optional<LoginItem> findLoginItem(bool& listed);
    void addMenuEntry();
    void showMessage(const QString& text, Qt::GlobalColor color);
    void log(const QString& line) const;

    InstallLocations locations_;
    InstallerServices services_;

    // Fields in the order of the delegate's field table.
    QWidget* window_ = nullptr;
    QCheckBox* autorunCheckBox_ = nullptr;
    QLabel* messageLabel_ = nullptr;
    QPushButton* installButton_ = nullptr;
};
