#include "OverrideWindow.h"

#include "ui_LockWindow.h"

OverrideWindow::OverrideWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint),
      ui_(std::make_unique<Ui::LockWindow>()) {
    ui_->setupUi(this);
    setObjectName(QStringLiteral("LockWindow"));
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(ui_->passwordTextbox);
    // Above any dialog of Vessik's that was open when the lock began: a window
    // blocked by a modal dialog would drop every key typed into the password field.
    setWindowModality(Qt::ApplicationModal);
}

void OverrideWindow::discardNativeWindow() {
    if (!isVisible() && internalWinId() != 0) {
        destroy();
    }
}

OverrideWindow::~OverrideWindow() = default;
