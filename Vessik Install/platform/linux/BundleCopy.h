#pragma once

#include <QtCore/QString>

#include "platform/FileManager.h"

// Copies the item at `from` (a folder with everything in it, or a single file) to
// the path `to`, which must not exist yet. A symbolic link at `from` itself is
// followed; links inside a folder are copied as links. Modes (0600 stays 0600)
// and modification times are kept; the owner is the caller. Folders, regular
// files and symbolic links are copied; any other kind of file (a FIFO, a socket,
// a device) fails the copy. The folder that is to hold `to` is created, with its
// parents, when missing.
//
// The copy is all or nothing: it is built in a temporary folder beside `to`
// (".NAME.XXXXXX") and renamed into place, without replacing anything that
// appeared at `to` meanwhile. Returns true when `to` holds the complete copy.
// On failure nothing is left at `to` or beside it, and `error` (when given)
// receives a one-line description naming the path that failed.
bool copyItem(const QString& from, const QString& to, QString* error);

// Removes the item at `path` and, for a folder, everything in it, without
// following symbolic links. Returns whether nothing is left at `path`.
bool removeItem(const QString& path);

// The file manager of the installer on this platform: copyItem() above.
class BundleCopy final : public FileManager {
public:
    bool copyItem(const QString& from, const QString& to, QString* error) override {
        return ::copyItem(from, to, error);
    }
    bool restrictToOwner(const QString& path) override;
};
