#include "platform/linux/XdgAutostart.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMap>
#include <QtCore/QSaveFile>

namespace {

// Desktop entries are a few hundred bytes; a far larger file is not read.
constexpr qint64 kMaxEntrySize = 64 * 1024;
const QByteArray kSuffix = QByteArrayLiteral(".desktop");

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The escapes of a string value: the letter behind the backslash and the
// character it stands for.
struct StringEscape {
    char16_t letter;
    char16_t character;
};
constexpr StringEscape kStringEscapes[] = {
    {u's', u' '}, {u'n', u'\n'}, {u't', u'\t'}, {u'r', u'\r'}, {u'\\', u'\\'},
};

// The escape whose letter (or character) is `c`, or null.
const StringEscape* findEscape(char16_t StringEscape::*field, QChar c) {
    for (const StringEscape& escape : kStringEscapes) {
        if (c == escape.*field) {
            return &escape;
        }
    }
    return nullptr;
}

// Undoes the escapes of a string value: \s \n \t \r \\. Any other backslash is
// kept, for the Exec quoting rules to read.
QString unescapeString(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        const StringEscape* escape =
            c == u'\\' && i + 1 < value.size() ? findEscape(&StringEscape::letter, value[i + 1]) : nullptr;
        if (escape == nullptr) {
            out += c;
        } else {
            out += QChar(escape->character);
            ++i;
        }
    }
    return out;
}

// Writes the escapes of a string value, all but \s: a space stays as it is.
QString escapeString(const QString& value) {
    QString out;
    out.reserve(value.size() + 8);
    for (const QChar c : value) {
        const StringEscape* escape = c != u' ' ? findEscape(&StringEscape::character, c) : nullptr;
        if (escape == nullptr) {
            out += c;
        } else {
            out += u'\\';
            out += QChar(escape->letter);
        }
    }
    return out;
}

bool escapedInQuotes(QChar c) {
    return c == u'"' || c == u'`' || c == u'$' || c == u'\\';
}

bool isSeparator(QChar c) {
    return c == u' ' || c == u'\t';
}

// The keys of the [Desktop Entry] group and their values as written; a repeated
// key keeps its last value.
QMap<QByteArray, QString> mainGroup(const QByteArray& data) {
    QMap<QByteArray, QString> keys;
    bool inMainGroup = false;
    const QList<QByteArray> lines = data.split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#')) {
            continue;
        }
        if (trimmed.startsWith('[')) {
            inMainGroup = trimmed == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals >= 0) {
            keys.insert(line.left(equals).trimmed(), QString::fromUtf8(line.mid(equals + 1)).trimmed());
        }
    }
    return keys;
}

// The keys of the entry file at `path`; nothing when it is not a readable regular
// file of a sensible size.
std::optional<QMap<QByteArray, QString>> readEntryFile(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray data = file.read(kMaxEntrySize + 1);
    if (data.size() > kMaxEntrySize) {
        return std::nullopt;
    }
    return mainGroup(data);
}

QString entryBaseName(const QString& program) {
    QString base = QFileInfo(program).fileName().toLower();
    for (QChar& c : base) {
        const bool portable =
            (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
        if (!portable) {
            c = u'-';
        }
    }
    while (base.startsWith(u'.')) {
        base.remove(0, 1); // a leading dot would hide the file
    }
    return base.isEmpty() ? QStringLiteral("login-item") : base;
}

} // namespace

QString XdgAutostart::baseDirectory(const char* variable, const QString& fallback) {
    const QString value = qEnvironmentVariable(variable);
    if (value.isEmpty() || !QDir::isAbsolutePath(value)) {
        return QDir::homePath() + u'/' + fallback;
    }
    return value;
}

QString XdgAutostart::defaultFolder() {
    return baseDirectory("XDG_CONFIG_HOME", QStringLiteral(".config")) + QStringLiteral("/autostart");
}

std::optional<std::vector<QByteArray>> XdgAutostart::entryNames() const {
    std::vector<QByteArray> names;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(QFile::encodeName(folder_).constData()));
    if (!dir) {
        if (errno == ENOENT) {
            return names; // no folder yet: nothing starts at login
        }
        return std::nullopt;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith('.') && name.endsWith(kSuffix)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool XdgAutostart::snapshot(std::vector<LoginItem>& out) {
    const std::optional<std::vector<QByteArray>> names = entryNames();
    if (!names) {
        return false;
    }
    out.clear();
    for (const QByteArray& name : *names) {
        out.push_back(LoginItem{folder_ + u'/' + QFile::decodeName(name)});
    }
    return true;
}

std::optional<QUrl> XdgAutostart::resolve(const LoginItem& item) {
    const std::optional<QMap<QByteArray, QString>> keys = readEntryFile(item.id);
    if (!keys || keys->value("Hidden") == u"true" || !keys->contains("Exec")) {
        return std::nullopt;
    }
    const std::optional<QString> program = execProgram(keys->value("Exec"));
    if (!program || !program->startsWith(u'/') || !QFileInfo::exists(*program)) {
        return std::nullopt;
    }
    return QUrl::fromLocalFile(*program);
}

void XdgAutostart::insertFirst(const QUrl& application) {
    if (!application.isLocalFile()) {
        return;
    }
    const QString program = application.toLocalFile();
    const std::optional<std::vector<QByteArray>> names = entryNames();
    if (!names || !QDir().mkpath(folder_)) {
        return;
    }
    writeEntryFile(folder_ + u'/' + newEntryName(program, *names), desktopEntry(program));
}

bool XdgAutostart::writeEntryFile(const QString& path, const QByteArray& entry) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    // Every step is checked: a short write on a full disk must not be committed.
    if (::fchmod(file.handle(), 0644) != 0 || file.write(entry) != entry.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

std::optional<QString> XdgAutostart::entryValue(const QString& path, const QByteArray& key) {
    const std::optional<QMap<QByteArray, QString>> keys = readEntryFile(path);
    if (!keys || !keys->contains(key)) {
        return std::nullopt;
    }
    return keys->value(key);
}

void XdgAutostart::remove(const LoginItem& item) {
    QFile::remove(item.id);
}

QString XdgAutostart::execValue(const QString& program) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (escapedInQuotes(c)) {
            quoted += u'\\';
        }
        quoted += c;
    }
    quoted += u'"';
    quoted.replace(u'%', QStringLiteral("%%"));
    return escapeString(quoted);
}

std::optional<QString> XdgAutostart::execProgram(const QString& value) {
    QString text = unescapeString(value);
    text.replace(QStringLiteral("%%"), QStringLiteral("%"));
    qsizetype i = 0;
    while (i < text.size() && isSeparator(text[i])) {
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    QString program;
    if (text[i] != u'"') {
        while (i < text.size() && !isSeparator(text[i])) {
            program += text[i++];
        }
        return program;
    }
    for (++i; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            // The closing quote must end the argument.
            if (i + 1 < text.size() && !isSeparator(text[i + 1])) {
                return std::nullopt;
            }
            return program;
        }
        if (c == u'\\' && i + 1 < text.size() && escapedInQuotes(text[i + 1])) {
            ++i;
        }
        program += text[i];
    }
    return std::nullopt; // no closing quote
}

QByteArray XdgAutostart::desktopEntry(const QString& program,
                                      const std::vector<std::pair<QString, QString>>& moreKeys) {
    const QString name = QFileInfo(program).fileName();
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=%1\n"
                                  "Exec=%2\n")
                       .arg(escapeString(name.isEmpty() ? program : name), execValue(program));
    for (const auto& [key, value] : moreKeys) {
        text += key + u'=' + escapeString(value) + u'\n';
    }
    return text.toUtf8();
}

QString XdgAutostart::newEntryName(const QString& program, const std::vector<QByteArray>& existing) {
    const QString base = entryBaseName(program) + QStringLiteral(".desktop");
    auto taken = [&existing](const QString& name) {
        return std::find(existing.begin(), existing.end(), QFile::encodeName(name)) != existing.end();
    };
    if (existing.empty() || (QFile::encodeName(base) < existing.front() && !taken(base))) {
        return base;
    }
    const QByteArray& first = existing.front();
    qsizetype zeros = 0;
    while (zeros < first.size() && first[zeros] == '0') {
        ++zeros;
    }
    for (qsizetype n = zeros + 1;; ++n) {
        const QString name = QString(n, u'0') + base;
        if (!taken(name)) {
            return name;
        }
    }
}
