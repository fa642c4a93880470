// Vessik Install's window and installation, on real files under a temporary home.
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QCryptographicHash>
#include <QtCore/QDirIterator>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtGui/QScreen>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include "InstallInterface.h"
#include "Vessik_InstallAppDelegate.h"
#include "fakes/ChildTest.h"
#include "fakes/FakePlatform.h"
#include "platform/linux/BundleCopy.h"
#include "platform/linux/XdgApplicationMenu.h"
#include "platform/linux/XdgAutostart.h"

namespace {

const QString kBuiltBundle = QStringLiteral(VESSIK_SOURCE_BUNDLE);

// Every entry under `root` with its kind, mode and content (or link target).
std::map<std::string, std::string> tree(const QString& root) {
    std::map<std::string, std::string> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray name = QFile::encodeName(path);
        struct stat st {};
        ::lstat(name.constData(), &st);
        std::string what = std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            what += " -> " + std::string(target, static_cast<size_t>(::readlink(name.constData(), target, 4095)));
        } else if (S_ISREG(st.st_mode)) {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            what += ' ' + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex().toStdString();
        }
        out[path.mid(root.size()).toStdString()] = what;
    }
    return out;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

class InstallerTest : public ::testing::Test {
protected:
    // Spaces in every path the installer touches.
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/vessik install XXXXXX")};
    QString home = root.path() + QStringLiteral("/home dir");
    QString bundle = root.path() + QStringLiteral("/Vessik Install.app");
    QString apps = home + QStringLiteral("/Applications");
    QString target = apps + QStringLiteral("/Vessik.app");
    QString autostart = home + QStringLiteral("/.config/autostart");
    QString menu = home + QStringLiteral("/.local/share/applications");
    QString commands = home + QStringLiteral("/.local/bin");
    std::shared_ptr<QStringList> logLines = std::make_shared<QStringList>();
    std::unique_ptr<InstallInterface> window;

    void SetUp() override {
        // The installer carries the built Vessik bundle.
        ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Resources")));
        ASSERT_TRUE(QFile::link(kBuiltBundle, bundle + QStringLiteral("/Resources/Vessik.app")));
        open();
    }

    // The installer's window on the real services, installing into `apps`.
    void open() {
        InstallerServices services;
        services.log = std::make_unique<FakeLog>(logLines);
        services.loginItems = std::make_unique<XdgAutostart>(autostart);
        services.files = std::make_unique<BundleCopy>();
        services.menu = std::make_unique<XdgApplicationMenu>(menu, commands);
        window = std::make_unique<InstallInterface>(InstallLocations{bundle, apps}, std::move(services));
    }

    Vessik_InstallAppDelegate& delegate() { return window->delegate(); }
    void install(bool atLogin) {
        delegate().autorunCheckBox()->setChecked(atLogin);
        delegate().installButton()->click();
    }

    void expectShown(bool success) {
        const QLabel* label = delegate().messageLabel();
        EXPECT_EQ(label->text(), success ? QStringLiteral("Application have\nbeen installed\nsuccesfully.")
                                         : QStringLiteral("Application have\nbeen allready\ninstalled.\nPlease "
                                                          "remove\nprevious version\nand try again."));
        EXPECT_EQ(label->palette().color(label->foregroundRole()), QColor(success ? Qt::green : Qt::red));
        EXPECT_EQ(delegate().installButton()->isEnabled(), !success);
    }

    void writeEntry(const QString& name, const QString& program) {
        QDir().mkpath(autostart);
        QFile f(autostart + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(XdgAutostart::desktopEntry(program));
    }
};

TEST_F(InstallerTest, InstallIntoAnEmptyHomeCopiesTheWholeBundleAndAddsTheLoginItem) {
    ASSERT_FALSE(QFileInfo::exists(apps));
    install(true);
    expectShown(true);
    EXPECT_TRUE(logLines->isEmpty()) << logLines->join(u'\n').toStdString();

    EXPECT_EQ(tree(target), tree(kBuiltBundle));
    struct stat settings {};
    ASSERT_EQ(::stat(QFile::encodeName(target + QStringLiteral("/Resources/Settings.plist")).constData(), &settings),
              0);
    EXPECT_EQ(settings.st_mode & 07777, 0600u);
    EXPECT_TRUE(QFileInfo(target + QStringLiteral("/Vessik")).isExecutable());
    EXPECT_EQ(entries(apps), QStringList{QStringLiteral("Vessik.app")}) << "no temporary folder is left";

    EXPECT_TRUE(delegate().getStartAtLogin());
    EXPECT_EQ(entries(autostart).size(), 1);

    // The menu entry starts the installed program with the installed copy's picture.
    const QString entry = menu + QStringLiteral("/vessik.desktop");
    EXPECT_EQ(XdgAutostart::execProgram(XdgAutostart::entryValue(entry, "Exec").value_or(QString())),
              target + QStringLiteral("/Vessik"));
    EXPECT_EQ(XdgAutostart::entryValue(entry, "Icon"), target + QStringLiteral("/Resources/tray.png"));
    EXPECT_TRUE(QFileInfo(target + QStringLiteral("/Resources/tray.png")).isFile());
    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"), {entry});
    ASSERT_TRUE(validate.waitForFinished());
    EXPECT_EQ(validate.exitCode(), 0) << validate.readAll().toStdString();
    // So does the command.
    EXPECT_EQ(QFileInfo(commands + QStringLiteral("/vessik")).symLinkTarget(), target + QStringLiteral("/Vessik"));

    // Install is disabled: a second click does nothing.
    delegate().installButton()->click();
    EXPECT_TRUE(logLines->isEmpty());
}

TEST_F(InstallerTest, SuccessWithTheBoxOffRemovesAnExistingLoginItem) {
    writeEntry(QStringLiteral("vessik.desktop"), target + QStringLiteral("/Vessik"));
    install(false);
    expectShown(true);
    EXPECT_TRUE(entries(autostart).isEmpty());
}

TEST_F(InstallerTest, TheMenuEntryAndTheCommandReplaceOnlyWhatTheInstallerMade) {
    const QString entry = menu + QStringLiteral("/vessik.desktop");
    const QString command = commands + QStringLiteral("/vessik");
    const QByteArray persons = "[Desktop Entry]\nType=Application\nName=My locker\nExec=/opt/vessik\n";
    const std::tuple<const char*, std::function<void()>, bool> cases[] = {
        {"the installer's own, from an older install",
         [&] {
             QFile f(entry);
             f.open(QIODevice::WriteOnly);
             f.write(XdgAutostart::desktopEntry(QStringLiteral("/old/Vessik"),
                                                {{QStringLiteral("X-Vessik-Installer"), QStringLiteral("true")}}));
             QFile::link(QStringLiteral("/old/Vessik.app/Vessik"), command);
         },
         true},
        {"a person's file",
         [&] {
             QFile f(entry);
             f.open(QIODevice::WriteOnly);
             f.write(persons);
             QFile script(command);
             script.open(QIODevice::WriteOnly);
             script.write("#!/bin/sh\n");
         },
         false},
        {"a person's link to the installer's entry",
         [&] {
             const QString elsewhere = root.path() + QStringLiteral("/elsewhere.desktop");
             QFile f(elsewhere);
             f.open(QIODevice::WriteOnly);
             f.write(XdgAutostart::desktopEntry(QStringLiteral("/x/Vessik"),
                                                {{QStringLiteral("X-Vessik-Installer"), QStringLiteral("true")}}));
             f.close();
             QFile::link(elsewhere, entry);
             QFile::link(QStringLiteral("/opt/other/Vessik"), command);
         },
         false},
    };
    for (const auto& [name, makeEntry, replaced] : cases) {
        SCOPED_TRACE(name);
        removeItem(home);
        QDir().mkpath(menu);
        QDir().mkpath(commands);
        makeEntry();
        const auto before = tree(menu);
        const auto commandsBefore = tree(commands);
        open();
        install(false);
        expectShown(true);
        if (replaced) {
            EXPECT_EQ(XdgAutostart::entryValue(entry, "Exec"),
                      XdgAutostart::execValue(target + QStringLiteral("/Vessik")));
            EXPECT_EQ(QFileInfo(command).symLinkTarget(), target + QStringLiteral("/Vessik"));
            EXPECT_TRUE(logLines->isEmpty());
        } else {
            EXPECT_EQ(tree(menu), before);
            EXPECT_EQ(tree(commands), commandsBefore);
            ASSERT_EQ(logLines->size(), 2);
            for (const QString& line : std::as_const(*logLines)) {
                EXPECT_TRUE(line.contains(QStringLiteral("left as it is"))) << line.toStdString();
            }
        }
        logLines->clear();
    }
}

TEST_F(InstallerTest, AnythingAtTheTargetFailsTheInstallAndChangesNothing) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"an earlier copy",
         [&] {
             QDir().mkpath(target + QStringLiteral("/Resources"));
             QFile f(target + QStringLiteral("/Vessik"));
             f.open(QIODevice::WriteOnly);
             f.write("older");
         }},
        {"an empty folder", [&] { QDir().mkpath(target); }},
        {"a file", [&] { QFile(target).open(QIODevice::WriteOnly); }},
        {"a dangling link", [&] { QFile::link(root.path() + QStringLiteral("/nowhere"), target); }},
    };
    for (const auto& [name, makeTarget] : cases) {
        SCOPED_TRACE(name);
        removeItem(home);
        QDir().mkpath(apps);
        makeTarget();
        // A login item that a successful install with the box off would remove.
        writeEntry(QStringLiteral("vessik.desktop"), target + QStringLiteral("/Vessik"));
        const auto before = tree(home);
        logLines->clear();
        for (int click = 1; click <= 2; ++click) { // stays enabled: the user may try again
            install(false);
            expectShown(false);
            ASSERT_EQ(logLines->size(), click);
            EXPECT_TRUE(logLines->last().contains(target)) << logLines->last().toStdString();
        }
        EXPECT_EQ(tree(home), before);
    }
}

TEST_F(InstallerTest, AnInstallerWithoutTheApplicationReportsAFailure) {
    QFile::remove(bundle + QStringLiteral("/Resources/Vessik.app"));
    install(true);
    expectShown(false);
    ASSERT_EQ(logLines->size(), 1);
    EXPECT_TRUE(logLines->first().contains(QStringLiteral("does not carry the application")));
    EXPECT_FALSE(QFileInfo::exists(autostart));
}

// A source entry that cannot be copied: the copy takes folders, files and links only.
TEST_F(InstallerTest, ACopyThatFailsHalfWayLeavesNoTrace) {
    const QString carried = bundle + QStringLiteral("/Resources/Vessik.app");
    QFile::remove(carried);
    ASSERT_TRUE(copyItem(kBuiltBundle, carried, nullptr));
    ASSERT_EQ(::mkfifo(QFile::encodeName(carried + QStringLiteral("/Resources/pipe")).constData(), 0600), 0);
    install(true);
    expectShown(false);
    ASSERT_EQ(logLines->size(), 1);
    EXPECT_TRUE(logLines->first().contains(carried + QStringLiteral("/Resources/pipe")));
    EXPECT_TRUE(entries(apps).isEmpty()) << entries(apps).join(u' ').toStdString();
    EXPECT_FALSE(QFileInfo::exists(autostart));
}

// Run by the next test in a child process, where the Applications folder is a
// tiny disk, smaller than the bundle.
TEST_F(InstallerTest, DISABLED_InstallOntoAFullDisk) {
    apps = childTestTinyDisk();
    open();
    install(true);
    expectShown(false);
    ASSERT_EQ(logLines->size(), 1);
    EXPECT_TRUE(logLines->first().startsWith(QStringLiteral("Cannot write '") + apps + QStringLiteral("/.Vessik.app.")))
        << logLines->first().toStdString();
    EXPECT_TRUE(entries(apps).isEmpty()) << entries(apps).join(u' ').toStdString();
}

TEST_F(InstallerTest, AFullDiskHalfWayThroughLeavesNoTrace) {
    qint64 size = 0;
    for (QDirIterator it(kBuiltBundle, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        size += QFileInfo(it.next()).size();
    }
    ASSERT_GT(size, 2 * 1024 * 1024) << "the bundle must not fit on the 1 MiB disk";
    ASSERT_TRUE(QDir().mkpath(apps));
    EXPECT_TRUE(
        runChildTest({.name = "InstallerTest.DISABLED_InstallOntoAFullDisk", .tinyDisk = apps, .tinyDiskSize = "1m"}));
}

TEST_F(InstallerTest, LaunchingCentresTheWindow) {
    QWidget& w = window->window();
    w.move(0, 0);
    delegate().applicationDidFinishLaunching();
    const QPoint offset = w.geometry().center() - w.screen()->availableGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 1);
}

TEST(BundleCopy, KeepsLinksModesAndEmptyFoldersAndFollowsOnlyTheTopLink) {
    QTemporaryDir dir;
    const QString src = dir.path() + QStringLiteral("/src");
    QDir().mkpath(src + QStringLiteral("/empty"));
    QDir().mkpath(src + QStringLiteral("/locked"));
    for (const auto& [name, mode] : {std::pair{"private", 0600}, {"tool", 0755}, {"locked/readonly", 0444}}) {
        QFile f(src + u'/' + QString::fromLatin1(name));
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(100000, name[0])); // larger than one buffer
        ::chmod(QFile::encodeName(f.fileName()).constData(), static_cast<mode_t>(mode));
    }
    ::chmod(QFile::encodeName(src + QStringLiteral("/locked")).constData(), 0555);
    QFile::link(QStringLiteral("tool"), src + QStringLiteral("/relative link"));
    QFile::link(QStringLiteral("/nonexistent"), src + QStringLiteral("/dangling"));
    QFile::link(src, dir.path() + QStringLiteral("/top"));

    const QString to = dir.path() + QStringLiteral("/deep/new/copy");
    QString error;
    ASSERT_TRUE(copyItem(dir.path() + QStringLiteral("/top"), to, &error)) << error.toStdString();
    EXPECT_TRUE(QFileInfo(to).isDir() && !QFileInfo(to).isSymLink());
    EXPECT_EQ(tree(to), tree(src));
}

} // namespace
