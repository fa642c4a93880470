#pragma once

class QByteArray;
class QLineEdit;
class QString;

// Best-effort wiping of the secrets that pass through Vessik's own variables.
// What Qt copies on its own (key events, its text layout, freed heap of earlier
// edits) is beyond reach; docs/DESIGN.md ("Password entry") lists it.

// Overwrites the characters of `text` when no other QString shares them (then
// Vessik's is the last copy), and empties it either way.
void wipeText(QString& text);

// The same for bytes.
void wipeBytes(QByteArray& bytes);

// Empties `field` and its undo history, then overwrites the characters it held
// when nothing else shares them.
void wipeField(QLineEdit& field);
