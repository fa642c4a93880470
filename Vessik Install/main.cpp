// Vessik Install: copies the Vessik application into ~/Applications and, if
// asked, makes it start at login. It never starts Vessik itself.
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

#include "InstallInterface.h"
#include "Vessik_InstallAppDelegate.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vessik Install"));

    InstallInterface interface(InstallLocations::forCurrentUser(), makeInstallerPlatform());
    Vessik_InstallAppDelegate& delegate = interface.delegate();
    interface.window().show();
    QTimer::singleShot(0, &delegate, &Vessik_InstallAppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
