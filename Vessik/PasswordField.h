#pragma once

#include <QtWidgets/QLineEdit>

// The lock window's password field. It takes typed keys only: nothing reaches
// it by pasting (Ctrl+V, Shift+Insert, Ctrl+Shift+Insert, the paste key, the
// middle button), by drag and drop, through a context menu, by undo or redo, or
// from an input method that commits more than one composed character. Otherwise
// a text that another program put on the clipboard would unlock the screen.
//
// Keys that reach it: printable characters (Control and Meta not held),
// Backspace, Delete, the arrows, Home and End, Return and Enter. Every other key
// is swallowed. Key events that come from another client (synthetic ones) count
// as typed: a process that keeps the lock may forward them.
class PasswordField : public QLineEdit {
    Q_OBJECT
public:
    explicit PasswordField(QWidget* parent = nullptr);

Q_SIGNALS:
    // After each key press or release that reached the field, taken or not.
    void keyEventSeen();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
