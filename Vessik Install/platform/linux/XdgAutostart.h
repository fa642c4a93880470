#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <QtCore/QByteArray>
#include <QtCore/QString>

#include "platform/LoginItems.h"

// The login items of an XDG desktop: the desktop entry files ("*.desktop") of
// one autostart folder, which the session starts at every login.
//
// - List order is the byte order of the file names. Names that begin with a dot
//   are not entries.
// - An entry resolves to the file URL of the program its Exec key starts, when
//   that program is an absolute path that exists. An entry with Hidden=true, an
//   unreadable one, one without Exec, and one whose program is a bare name
//   (looked up in PATH), a relative path or a missing file do not resolve.
// - A new entry gets a file name that sorts before every entry present, so it
//   heads the list: "vessik.desktop" (from the program's file name) when that
//   already sorts first and is free, else that name behind a run of '0' digits
//   one longer than the run that opens the first entry's name ("0vessik.desktop",
//   "00vessik.desktop", ...). When the first name opens with a character below
//   '0' after its zeros (such as '-'), no such name sorts first, and the entry
//   goes behind it.
class XdgAutostart : public LoginItems {
public:
    explicit XdgAutostart(QString folder) : folder_(std::move(folder)) {}

    // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when XDG_CONFIG_HOME is
    // unset, empty or not an absolute path.
    static QString defaultFolder();
    // An XDG base directory: $`variable` when it is an absolute path, else
    // `fallback` below the home folder.
    static QString baseDirectory(const char* variable, const QString& fallback);

    const QString& folder() const { return folder_; }

    // A missing folder is an empty list; a folder that cannot be read fails.
    bool snapshot(std::vector<LoginItem>& out) override;
    std::optional<QUrl> resolve(const LoginItem& item) override;
    // Writes a new entry (Type, Name, Exec) atomically, creating the folder when
    // missing. Does nothing for a URL that is not a local file.
    void insertFirst(const QUrl& application) override;
    void remove(const LoginItem& item) override;

    // The value of an Exec key that starts `program` with no arguments: the path
    // double-quoted, with the quoting and escaping rules of desktop entries applied.
    static QString execValue(const QString& program);
    // The program of an Exec value as written in the file (escapes undone, the
    // first argument unquoted), or nothing when the value is empty or malformed.
    static std::optional<QString> execProgram(const QString& value);
    // A complete desktop entry that starts `program`: Type, Name and Exec, then
    // `moreKeys` (a key and a string value, escaped) in their order.
    static QByteArray desktopEntry(const QString& program,
                                   const std::vector<std::pair<QString, QString>>& moreKeys = {});
    // Writes `entry` to `path` atomically with mode 0644. False on any failure,
    // with the file at `path` as it was.
    static bool writeEntryFile(const QString& path, const QByteArray& entry);
    // The value of `key` in the [Desktop Entry] group of the entry file at `path`,
    // as written; nothing when the file cannot be read or has no such key.
    static std::optional<QString> entryValue(const QString& path, const QByteArray& key);
    // The file name of a new entry for `program` that sorts before every name of
    // `existing` (sorted) when possible; never one of `existing`.
    static QString newEntryName(const QString& program, const std::vector<QByteArray>& existing);

private:
    // The entries' file names, sorted; nothing when the folder cannot be read.
    std::optional<std::vector<QByteArray>> entryNames() const;

    QString folder_;
};
