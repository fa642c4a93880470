#pragma once

#include <QtCore/QString>

// Copying items of the file system, for the installer's copy of the application.
class FileManager {
public:
    virtual ~FileManager() = default;
    // Copies the item at `from` (a folder with everything in it, or a file) to the
    // path `to`, which must not exist yet. All or nothing: returns true when `to`
    // holds the complete copy; on failure nothing is left at `to` and `error`
    // (when given) receives a one-line description naming the path that failed.
    virtual bool copyItem(const QString& from, const QString& to, QString* error) = 0;
    // Makes the file at `path` readable and writable by its owner alone. Returns
    // whether it now is.
    virtual bool restrictToOwner(const QString& path) = 0;
};
