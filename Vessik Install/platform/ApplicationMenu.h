#pragma once

#include <optional>

#include <QtCore/QString>

// The desktop's application menu: the programs a person can start from it.
class ApplicationMenu {
public:
    virtual ~ApplicationMenu() = default;
    // Puts an entry that starts `program` into the menu, shown with the picture
    // file `icon` (none when empty). Replaces an entry that the installer wrote
    // before, never one the person made. Returns nothing on success, else why no
    // entry was written.
    virtual std::optional<QString> addEntry(const QString& program, const QString& icon) = 0;
};
