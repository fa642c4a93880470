#include "Secret.h"

#include <string.h>

#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <QtWidgets/QLineEdit>

void wipeText(QString& text) {
    if (text.isDetached() && !text.isEmpty()) {
        ::explicit_bzero(text.data(), static_cast<std::size_t>(text.size()) * sizeof(QChar));
    }
    text = QString();
}

void wipeBytes(QByteArray& bytes) {
    if (bytes.isDetached() && !bytes.isEmpty()) {
        ::explicit_bzero(bytes.data(), static_cast<std::size_t>(bytes.size()));
    }
    bytes = QByteArray();
}

void wipeField(QLineEdit& field) {
    QString held = field.text(); // shares the field's characters
    // setText, unlike clear(), also drops the undo history, which keeps every removed character.
    field.setText(QString());
    wipeText(held);
}
