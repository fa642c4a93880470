// Login items: the installer delegate's search over a real XDG autostart folder,
// and the desktop entries it writes and reads.
#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>

#include "Vessik_InstallAppDelegate.h"
#include "platform/linux/XdgApplicationMenu.h"
#include "platform/linux/XdgAutostart.h"

namespace {

class LoginItemsTest : public ::testing::Test {
protected:
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/vessik login XXXXXX")};
    QString apps = root.path() + QStringLiteral("/home dir/Applications");
    QString program = apps + QStringLiteral("/Vessik.app/Vessik");
    QString autostart = root.path() + QStringLiteral("/config/autostart");
    Vessik_InstallAppDelegate delegate{
        InstallLocations{root.path(), apps},
        InstallerServices{nullptr, std::make_unique<XdgAutostart>(autostart), nullptr, nullptr}};

    void SetUp() override {
        createFile(program);
        QDir().mkpath(autostart);
    }
    static void createFile(const QString& path) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    void writeEntry(const QString& name, const QByteArray& content) {
        QFile f(autostart + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    void writeEntryFor(const QString& name, const QString& path) { writeEntry(name, XdgAutostart::desktopEntry(path)); }
    QStringList names() const { return QDir(autostart).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};

TEST_F(LoginItemsTest, AddingTwiceWritesOneEntryAtTheHeadOfTheList) {
    writeEntryFor(QStringLiteral("0start.desktop"), root.path() + QStringLiteral("/other"));
    EXPECT_FALSE(delegate.getStartAtLogin());
    delegate.setStartAtLogin(true);
    delegate.setStartAtLogin(true);
    EXPECT_TRUE(delegate.getStartAtLogin());
    EXPECT_EQ(names(), (QStringList{QStringLiteral("00vessik.desktop"), QStringLiteral("0start.desktop")}));
}

TEST_F(LoginItemsTest, RemovingTakesOnlyTheFirstOfTwoEntries) {
    writeEntryFor(QStringLiteral("a.desktop"), program);
    writeEntryFor(QStringLiteral("b.desktop"), program);
    delegate.setStartAtLogin(false);
    EXPECT_EQ(names(), QStringList{QStringLiteral("b.desktop")});
    EXPECT_TRUE(delegate.getStartAtLogin());
    delegate.setStartAtLogin(false);
    EXPECT_TRUE(names().isEmpty());
    EXPECT_FALSE(delegate.getStartAtLogin());
}

TEST_F(LoginItemsTest, EntriesThatDoNotResolveToTheProgramExactlyNeverMatch) {
    createFile(root.path() + QStringLiteral("/elsewhere/Vessik.app/Vessik"));
    const QString quoted = XdgAutostart::execValue(program);
    const std::pair<const char*, QByteArray> entries[] = {
        {"another copy.desktop",
         XdgAutostart::desktopEntry(root.path() + QStringLiteral("/elsewhere/Vessik.app/Vessik"))},
        {"dot spelling.desktop", XdgAutostart::desktopEntry(apps + QStringLiteral("/./Vessik.app/Vessik"))},
        {"double slash.desktop", XdgAutostart::desktopEntry(apps + QStringLiteral("//Vessik.app/Vessik"))},
        {"hidden.desktop", XdgAutostart::desktopEntry(program) + "Hidden=true\n"},
        {"other group.desktop",
         "[Desktop Entry]\nType=Application\nName=x\n[Desktop Action x]\nExec=" + quoted.toUtf8()},
        {"missing program.desktop", XdgAutostart::desktopEntry(program + QStringLiteral(".old"))},
        {"in PATH.desktop", "[Desktop Entry]\nType=Application\nName=x\nExec=Vessik\n"},
        {"unterminated.desktop", "[Desktop Entry]\nExec=\"" + program.toUtf8() + "\n"},
        {"no exec.desktop", "[Desktop Entry]\nType=Application\nName=x\n"},
    };
    for (const auto& [name, content] : entries) {
        writeEntry(QString::fromUtf8(name), content);
    }
    const QStringList before = names();
    EXPECT_FALSE(delegate.getStartAtLogin());
    delegate.setStartAtLogin(false);
    EXPECT_EQ(names(), before) << "nothing is removed";
    delegate.setStartAtLogin(true);
    EXPECT_EQ(names().size(), before.size() + 1);
    EXPECT_TRUE(delegate.getStartAtLogin());
}

TEST_F(LoginItemsTest, AnUnreadableListIsLeftAlone) {
    QDir(autostart).removeRecursively();
    createFile(autostart); // a file where the folder should be
    EXPECT_FALSE(delegate.getStartAtLogin());
    delegate.setStartAtLogin(true);
    EXPECT_TRUE(QFileInfo(autostart).isFile());
}

TEST(XdgAutostartEntries, AwkwardPathsAreQuotedValidAndReadBack) {
    QTemporaryDir dir;
    const std::pair<const char*, const char*> cases[] = {
        {"/a b/Vessik", R"("/a b/Vessik")"},       {"/q\"uote/$HOME/`cmd`", R"("/q\\"uote/\\$HOME/\\`cmd\\`")"},
        {"/back\\slash", R"("/back\\\\slash")"},   {"/100%/%f", R"("/100%%/%%f")"},
        {"/tab\there/ünï", "\"/tab\\there/ünï\""},
    };
    for (const auto& [raw, expected] : cases) {
        const QString path = dir.path() + QString::fromUtf8(raw);
        SCOPED_TRACE(raw);
        EXPECT_EQ(XdgAutostart::execValue(QString::fromUtf8(raw)).toStdString(), expected);
        EXPECT_EQ(XdgAutostart::execProgram(XdgAutostart::execValue(path)).value_or(QString()).toStdString(),
                  path.toStdString());

        XdgAutostart items(dir.path() + QStringLiteral("/autostart"));
        QDir().mkpath(QFileInfo(path).path());
        QFile(path).open(QIODevice::WriteOnly);
        items.insertFirst(QUrl::fromLocalFile(path));
        std::vector<LoginItem> list;
        ASSERT_TRUE(items.snapshot(list));
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(items.resolve(list.front()), QUrl::fromLocalFile(path));
        QProcess validate;
        validate.start(QStringLiteral("desktop-file-validate"), {list.front().id});
        ASSERT_TRUE(validate.waitForFinished());
        EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();
        items.remove(list.front());
    }
}

TEST(XdgAutostartEntries, ExecValuesOfOtherProgramsYieldTheirProgram) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/tool --flag %U", "/usr/bin/tool"},
        {"\"/opt/my app/run\" %f", "/opt/my app/run"},
        {"\"/opt/a\\sb\" --x", "/opt/a b"},
        {"/opt/a\\sb", "/opt/a"}, // \s is a space, and an unquoted space ends the program
        {"\\s/lead", "/lead"},
        {"tool", "tool"},
        {"\"/x\"y", "<none>"},
        {"\"/x", "<none>"},
        {"", "<none>"},
    };
    for (const auto& [value, program] : cases) {
        EXPECT_EQ(XdgAutostart::execProgram(QString::fromUtf8(value)).value_or(QStringLiteral("<none>")).toStdString(),
                  program)
            << value;
    }
}

TEST(XdgAutostartEntries, ANewNameSortsFirstAndIsNeverTaken) {
    using Names = std::vector<QByteArray>;
    const std::pair<Names, const char*> cases[] = {
        {{}, "vessik.desktop"},
        {{"zz.desktop"}, "vessik.desktop"},
        {{"autostart.desktop"}, "0vessik.desktop"},
        {{"vessik.desktop"}, "0vessik.desktop"},
        {{"000x.desktop", "vessik.desktop"}, "0000vessik.desktop"},
        {{"-dash.desktop", "0vessik.desktop"}, "00vessik.desktop"}, // nothing sorts before '-': the next free name
    };
    for (const auto& [existing, expected] : cases) {
        EXPECT_EQ(XdgAutostart::newEntryName(QStringLiteral("/x/Vessik"), existing).toStdString(), expected);
    }
}

TEST(XdgAutostartEntries, TheFoldersFollowTheXdgBaseDirectories) {
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", "/home/u");
    struct Case {
        const char* variable;
        QString (*folder)();
        const char* value;
        const char* expected;
    };
    const Case cases[] = {
        {"XDG_CONFIG_HOME", &XdgAutostart::defaultFolder, "/cfg", "/cfg/autostart"},
        {"XDG_CONFIG_HOME", &XdgAutostart::defaultFolder, "", "/home/u/.config/autostart"},
        {"XDG_CONFIG_HOME", &XdgAutostart::defaultFolder, "relative/cfg", "/home/u/.config/autostart"},
        {"XDG_DATA_HOME", &XdgApplicationMenu::defaultFolder, "/data", "/data/applications"},
        {"XDG_DATA_HOME", &XdgApplicationMenu::defaultFolder, "", "/home/u/.local/share/applications"},
        {"XDG_DATA_HOME", &XdgApplicationMenu::defaultFolder, "relative", "/home/u/.local/share/applications"},
    };
    for (const Case& c : cases) {
        const QByteArray saved = qgetenv(c.variable);
        qputenv(c.variable, c.value);
        EXPECT_EQ(c.folder().toStdString(), c.expected) << c.variable << '=' << c.value;
        saved.isNull() ? qunsetenv(c.variable) : qputenv(c.variable, saved);
    }
    savedHome.isNull() ? qunsetenv("HOME") : qputenv("HOME", savedHome);
}

} // namespace
