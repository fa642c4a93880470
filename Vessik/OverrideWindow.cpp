#include "OverrideWindow.h"

#include <QtGui/QCloseEvent>
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

    // White lines on a dark band, readable on any picture.
    const QList<QLabel*> lines = {ui_->waitingLabel,  ui_->wrongPasswordLabel, ui_->lastAttemptLabel,
                                  ui_->capsLockLabel, ui_->shiftLockLabel,     ui_->layoutLabel};
    for (QLabel* line : lines) {
        QPalette linePalette = line->palette();
        linePalette.setColor(QPalette::Window, QColor(0, 0, 0, 170));
        linePalette.setColor(QPalette::WindowText, Qt::white);
        line->setPalette(linePalette);
        line->setAutoFillBackground(true);
        QFont lineFont = line->font();
        lineFont.setPixelSize(15);
        line->setFont(lineFont);
    }
    showFeedback({});
}

void OverrideWindow::showFeedback(const LockFeedback& feedback) {
    ui_->waitingLabel->setVisible(feedback.waitingForKeyboard);
    ui_->wrongPasswordLabel->setVisible(feedback.wrongPassword);
    ui_->lastAttemptLabel->setVisible(feedback.lastAttempt);
    ui_->capsLockLabel->setVisible(feedback.capsLock);
    ui_->shiftLockLabel->setVisible(feedback.shiftLock);
    if (!feedback.layout.isEmpty()) {
        ui_->layoutLabel->setText(tr("Keyboard layout: %1").arg(feedback.layout));
    }
    ui_->layoutLabel->setVisible(!feedback.layout.isEmpty());
}

void OverrideWindow::setVisible(bool visible) {
    if (!visible && isVisible()) {
        setWindowModality(Qt::NonModal);
        QWidget::setVisible(false);
        setWindowModality(Qt::ApplicationModal);
        return;
    }
    QWidget::setVisible(visible);
}

void OverrideWindow::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    Q_EMIT painted();
}

void OverrideWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
}

void OverrideWindow::discardNativeWindow() {
    if (!isVisible() && internalWinId() != 0) {
        destroy();
    }
}

OverrideWindow::~OverrideWindow() = default;
