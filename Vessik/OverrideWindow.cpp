#include "OverrideWindow.h"

#include "ui_LockWindow.h"

OverrideWindow::OverrideWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint),
      ui_(std::make_unique<Ui::LockWindow>()) {
    ui_->setupUi(this);
    setObjectName(QStringLiteral("LockWindow"));
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(ui_->passwordTextbox);
}

OverrideWindow::~OverrideWindow() = default;
