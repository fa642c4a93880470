#include "InstallInterface.h"

#include <QtWidgets/QPushButton>

#include "Vessik_InstallAppDelegate.h"
#include "ui_InstallWindow.h"

InstallInterface::InstallInterface(InstallLocations locations, InstallerServices services)
    : window_(std::make_unique<QWidget>()), ui_(std::make_unique<Ui::InstallWindow>()),
      delegate_(std::make_unique<Vessik_InstallAppDelegate>(std::move(locations), std::move(services))) {
    ui_->setupUi(window_.get());
    // A small fixed dialog: the layout in the interface file is final.
    window_->setFixedSize(window_->size());

    Vessik_InstallAppDelegate* d = delegate_.get();
    d->setWindow(window_.get());
    d->setAutorunCheckBox(ui_->autorunCheckBox);
    d->setMessageLabel(ui_->messageLabel);
    d->setInstallButton(ui_->installButton);
    QObject::connect(ui_->installButton, &QPushButton::clicked, d,
                     [d, b = ui_->installButton] { d->installButton(b); });
    QObject::connect(ui_->quitButton, &QPushButton::clicked, d, [d, b = ui_->quitButton] { d->closeButton(b); });
}

// The delegate goes first: it refers to the window, never the other way round.
InstallInterface::~InstallInterface() {
    delegate_.reset();
}
