#include "PasswordField.h"

#include <algorithm>

#include <QtCore/QTextBoundaryFinder>
#include <QtGui/QInputMethodEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>

namespace {

// Whether `event` is typing or editing by hand (see the class comment).
bool isTyped(const QKeyEvent& event) {
    const Qt::KeyboardModifiers mods = event.modifiers() & ~(Qt::KeypadModifier | Qt::GroupSwitchModifier);
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Backspace:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
        return (mods & ~Qt::ShiftModifier) == Qt::NoModifier;
    case Qt::Key_Delete:
        return mods == Qt::NoModifier; // Shift+Delete is a cut
    default:
        break;
    }
    const QString text = event.text();
    return !text.isEmpty() && (mods & (Qt::ControlModifier | Qt::MetaModifier)) == Qt::NoModifier &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); });
}

// Whether `text` is one character as a person sees it (a composed one included).
bool isOneCharacter(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    return graphemes.toNextBoundary() == text.size();
}

} // namespace

PasswordField::PasswordField(QWidget* parent) : QLineEdit(parent) {
    setEchoMode(QLineEdit::Password);
    setContextMenuPolicy(Qt::NoContextMenu);
    setAcceptDrops(false);
    setDragEnabled(false);
}

void PasswordField::keyPressEvent(QKeyEvent* event) {
    if (isTyped(*event)) {
        QLineEdit::keyPressEvent(event);
    } else {
        event->accept(); // swallowed: the field does nothing with it (the lock window has no shortcuts)
    }
    Q_EMIT keyEventSeen();
}

void PasswordField::keyReleaseEvent(QKeyEvent* event) {
    QLineEdit::keyReleaseEvent(event);
    Q_EMIT keyEventSeen();
}

void PasswordField::inputMethodEvent(QInputMethodEvent* event) {
    // A dead key or a compose sequence commits one character; anything longer,
    // a replacement or a text shown while composing is not typing.
    if (event->replacementLength() == 0 && event->preeditString().isEmpty() && isOneCharacter(event->commitString())) {
        QInputMethodEvent committed;
        committed.setCommitString(event->commitString());
        QLineEdit::inputMethodEvent(&committed);
    }
    event->accept();
}

void PasswordField::mouseReleaseEvent(QMouseEvent* event) {
    // The middle button's release pastes the primary selection on X11.
    if (event->button() == Qt::MiddleButton) {
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void PasswordField::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
}

void PasswordField::dragEnterEvent(QDragEnterEvent* event) {
    event->ignore();
}

void PasswordField::dragMoveEvent(QDragMoveEvent* event) {
    event->ignore();
}

void PasswordField::dropEvent(QDropEvent* event) {
    event->ignore();
}
