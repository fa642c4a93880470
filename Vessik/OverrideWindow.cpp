#include "OverrideWindow.h"

#include <QtGui/QPalette>

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

    // Palettes and a font rather than a style sheet: a style sheet keeps a parsed
    // style alive for the whole life of the resident process.
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, Qt::black);
    setPalette(windowPalette);
    setAutoFillBackground(true);
    QLineEdit* field = ui_->passwordTextbox;
    QPalette fieldPalette = field->palette();
    fieldPalette.setColor(QPalette::Base, Qt::white);
    fieldPalette.setColor(QPalette::Text, QColor(0x10, 0x20, 0x30));
    fieldPalette.setColor(QPalette::Disabled, QPalette::Base, QColor(0xb4, 0xb4, 0xb4));
    field->setPalette(fieldPalette);
    QFont font = field->font();
    font.setPixelSize(18);
    field->setFont(font);
    field->setTextMargins(12, 8, 12, 8);
}

void OverrideWindow::discardNativeWindow() {
    if (!isVisible() && internalWinId() != 0) {
        destroy();
    }
}

OverrideWindow::~OverrideWindow() = default;
