#pragma once

#include <optional>

#include <QtCore/QString>

// The desktop's application menu and the user's commands: the programs a person
// can start from the menu, a key binding or a script.
class ApplicationMenu {
public:
    virtual ~ApplicationMenu() = default;
    // Puts an entry that starts `program` into the menu, shown with the picture
    // file `icon` (none when empty). Replaces an entry that the installer wrote
    // before, never one the person made. Returns nothing on success, else why no
    // entry was written.
    virtual std::optional<QString> addEntry(const QString& program, const QString& icon) = 0;
    // Makes `program` the user's command "vessik" (so that a key binding may say
    // `vessik --lock`). Replaces a command that the installer made before, never
    // one the person made. Returns nothing on success, else why it was not made.
    virtual std::optional<QString> addCommand(const QString& program) = 0;
};
