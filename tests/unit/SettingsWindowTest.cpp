// The settings window with its real widgets (offscreen) over a temporary bundle:
// the form after a load, saving with the password change, cancel, the picture chooser.
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtGui/QAction>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QButtonGroup>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPushButton>

#include "MainInterface.h"
#include "VessikAppDelegate.h"
#include "fakes/FakePlatform.h"
#include "fakes/TestBundle.h"

namespace {

QByteArray plist(const QByteArray& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
           "\n</dict>\n</plist>\n";
}

QByteArray str(const char* key, const QString& value) {
    return QByteArray("<key>") + key + "</key><string>" + value.toHtmlEscaped().toUtf8() + "</string>\n";
}

QByteArray num(const char* key, long long value) {
    return QByteArray("<key>") + key + "</key><integer>" + QByteArray::number(value) + "</integer>\n";
}

const QByteArray kEveryKey = str("Language", QStringLiteral("Deutsch")) + num("LockShift", 1) + num("LockControl", 0) +
                             num("LockAlt", 1) + str("LockFunc", QStringLiteral("F5")) + num("OffShift", 0) +
                             num("OffControl", 1) + num("OffAlt", 0) + str("OffFunc", QStringLiteral("Z")) +
                             str("Password", QStringLiteral("pw")) + num("InactivityTime", 30) + num("ImageType", 1) +
                             str("ImagePath", QStringLiteral("/pics/a.png")) + num("RetryTime", 7) +
                             num("RetryCount", 3) + num("RetryLeft", 1);

class SettingsWindowTest : public ::testing::Test {
protected:
    TestBundle files;
    FakePlatform fakes;
    MainInterface ui{files.bundle(), fakes.take()};
    VessikAppDelegate& d = ui.delegate();

    template <typename T> T* widget(const char* name) {
        T* w = ui.settingsWindow().findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* button) { widget<QPushButton>(button)->click(); }
    void open() { ui.trayMenu().findChild<QAction*>(QStringLiteral("settingsAction"))->trigger(); }
    PropertyList stored() {
        d.readPlist(QStringLiteral("Settings"));
        return d.properties();
    }
    // Types into every field, ticks the other image row and shows an error, so a
    // fill that forgets a control leaves a mark.
    void scribble() {
        for (QLineEdit* f : {d.oldPassTextbox(), d.newPassTextbox(), d.confirmPassTextbox(), d.inactivityTextbox(),
                             d.imagePathTextbox(), d.retriesTimeTextbox(), d.retriesCountTextbox()}) {
            f->setText(QStringLiteral("typed"));
        }
        for (QCheckBox* c : {d.lockShiftCheckbox(), d.lockControlCheckbox(), d.lockAltCheckbox(), d.offShiftCheckbox(),
                             d.offControlCheckbox(), d.offAltCheckbox()}) {
            c->setChecked(true);
        }
        d.imageRadiobutton()->button(1)->setChecked(true);
        d.errorLabel()->setText(QStringLiteral("old error"));
    }
};

// --- The form after a load ----------------------------------------------------

TEST_F(SettingsWindowTest, EveryStoredKeyIsShownAndTypedPasswordsAndErrorsAreCleared) {
    files.writeSettings(plist(kEveryKey));
    d.languageDropdown()->setEditable(true);
    scribble();
    open();

    EXPECT_TRUE(ui.settingsWindow().isVisible());
    EXPECT_EQ(d.languageDropdown()->currentText(), QStringLiteral("Deutsch"));
    EXPECT_EQ(d.lockDropdown()->currentText(), QStringLiteral("F5"));
    EXPECT_EQ(d.offDropdown()->currentText(), QStringLiteral("Z"));
    for (QComboBox* box : {d.languageDropdown(), d.lockDropdown(), d.offDropdown()}) {
        EXPECT_FALSE(box->isEditable()) << box->objectName().toStdString();
    }
    const std::pair<QCheckBox*, bool> boxes[] = {{d.lockShiftCheckbox(), true},  {d.lockControlCheckbox(), false},
                                                 {d.lockAltCheckbox(), true},    {d.offShiftCheckbox(), false},
                                                 {d.offControlCheckbox(), true}, {d.offAltCheckbox(), false}};
    for (const auto& [box, on] : boxes) {
        EXPECT_EQ(box->checkState(), on ? Qt::Checked : Qt::Unchecked) << box->objectName().toStdString();
    }
    EXPECT_TRUE(d.oldPassTextbox()->isEnabled());
    for (QLineEdit* f : {d.oldPassTextbox(), d.newPassTextbox(), d.confirmPassTextbox()}) {
        EXPECT_TRUE(f->text().isEmpty());
        EXPECT_EQ(f->echoMode(), QLineEdit::Password);
    }
    EXPECT_EQ(d.inactivityTextbox()->text(), QStringLiteral("30"));
    EXPECT_EQ(d.imageRadiobutton()->checkedId(), 1);
    EXPECT_EQ(d.imagePathTextbox()->text(), QStringLiteral("/pics/a.png"));
    EXPECT_EQ(d.retriesTimeTextbox()->text(), QStringLiteral("7"));
    EXPECT_EQ(d.retriesCountTextbox()->text(), QStringLiteral("3"));
    EXPECT_TRUE(d.errorLabel()->text().isEmpty());
    EXPECT_FALSE(ui.settingsWindow().palette().brush(QPalette::Window).texture().isNull()) << "bg.png tiles";
}

TEST_F(SettingsWindowTest, MissingKeysAndFailedLoadsKeepTextsAndClearTheRest) {
    const std::pair<const char*, QByteArray> cases[] = {
        {"empty dictionary", plist("")},
        {"corrupt file", QByteArray("<plist><dict><key>Password")},
        {"missing file", QByteArray()},
    };
    for (const auto& [name, content] : cases) {
        files.writeSettings(plist(kEveryKey));
        open();
        if (content.isEmpty()) {
            files.removeSettings();
        } else {
            files.writeSettings(content);
        }
        scribble();
        d.imagePathTextbox()->setText(QStringLiteral("/pics/a.png"));
        open();
        EXPECT_EQ(d.languageDropdown()->currentText(), QStringLiteral("Deutsch")) << name;
        EXPECT_EQ(d.lockDropdown()->currentText(), QStringLiteral("F5")) << name;
        EXPECT_EQ(d.offDropdown()->currentText(), QStringLiteral("Z")) << name;
        EXPECT_EQ(d.inactivityTextbox()->text(), QStringLiteral("typed")) << name;
        EXPECT_EQ(d.retriesCountTextbox()->text(), QStringLiteral("typed")) << name;
        for (QCheckBox* c : {d.lockShiftCheckbox(), d.lockControlCheckbox(), d.lockAltCheckbox(), d.offShiftCheckbox(),
                             d.offControlCheckbox(), d.offAltCheckbox()}) {
            EXPECT_EQ(c->checkState(), Qt::Unchecked) << name;
        }
        EXPECT_EQ(d.imageRadiobutton()->checkedId(), 0) << name;
        EXPECT_FALSE(d.oldPassTextbox()->isEnabled()) << name;
        EXPECT_TRUE(d.oldPassTextbox()->text().isEmpty() && d.newPassTextbox()->text().isEmpty() &&
                    d.confirmPassTextbox()->text().isEmpty())
            << name;
        EXPECT_TRUE(d.errorLabel()->text().isEmpty()) << name;
    }
}

TEST_F(SettingsWindowTest, ValuesOfOtherKindsAreShownByTheirTextOrIntegerValue) {
    files.writeSettings(plist(str("InactivityTime", QStringLiteral("45")) + str("LockShift", QStringLiteral("1")) +
                              str("RetryCount", QStringLiteral(" 3x")) + num("LockFunc", 5) +
                              str("OffFunc", QStringLiteral("F13")) + num("LockControl", 2) + num("LockAlt", -1) +
                              str("Password", QString())));
    open();
    EXPECT_EQ(d.inactivityTextbox()->text(), QStringLiteral("45"));
    EXPECT_EQ(d.lockShiftCheckbox()->checkState(), Qt::Checked);
    EXPECT_EQ(d.retriesCountTextbox()->text(), QStringLiteral(" 3x"));
    EXPECT_EQ(d.lockDropdown()->currentText(), QStringLiteral("5"));
    // A key name the list does not offer is still shown, and saved back unchanged.
    EXPECT_EQ(d.offDropdown()->currentText(), QStringLiteral("F13"));
    // Only exactly 1 is on; other integers show as mixed.
    EXPECT_EQ(d.lockControlCheckbox()->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(d.lockAltCheckbox()->checkState(), Qt::PartiallyChecked);
    EXPECT_TRUE(d.oldPassTextbox()->isEnabled()) << "an empty stored password is a stored password";

    click("saveButton");
    const PropertyList saved = stored();
    EXPECT_EQ(saved.stringValue(QStringLiteral("OffFunc")), QStringLiteral("F13"));
    EXPECT_EQ(saved.integerValue(QStringLiteral("LockControl")), 2);
    EXPECT_EQ(saved.integerValue(QStringLiteral("LockAlt")), -1);
    EXPECT_EQ(saved.integerValue(QStringLiteral("RetryCount")), 3);

    // The extra item made for an unlisted name goes with the next fill.
    files.writeSettings(plist(str("OffFunc", QStringLiteral("Q")) + num("LockControl", 1)));
    open();
    EXPECT_EQ(d.offDropdown()->findText(QStringLiteral("F13")), -1);
    EXPECT_EQ(d.offDropdown()->count(), 48);
    EXPECT_EQ(d.lockControlCheckbox()->checkState(), Qt::Checked);
    d.lockControlCheckbox()->click();
    EXPECT_EQ(d.lockControlCheckbox()->checkState(), Qt::Unchecked) << "a plain two-state box again";
}

TEST_F(SettingsWindowTest, OnlyAnImageTypeOfOneSelectsThePictureFile) {
    const std::pair<QByteArray, int> cases[] = {
        {num("ImageType", 0), 0},  {num("ImageType", 1), 1}, {num("ImageType", 2), 0},
        {num("ImageType", -1), 0}, {QByteArray(), 0},        {str("ImageType", QStringLiteral("1")), 1},
    };
    for (const auto& [entry, row] : cases) {
        files.writeSettings(plist(entry));
        d.imageRadiobutton()->button(1 - row)->setChecked(true);
        open();
        EXPECT_EQ(d.imageRadiobutton()->checkedId(), row) << entry.constData();
    }
}

// --- Saving ------------------------------------------------------------------

struct PasswordCase {
    const char* name;
    const char* stored; // the "Password" in the file before the save; null: none
    const char* oldText;
    const char* newText;
    const char* confirmText;
    const char* error;    // null: the save succeeds
    const char* expected; // the "Password" after a successful save; null: none
};

std::optional<QString> text(const char* s) {
    return s != nullptr ? std::optional<QString>(QString::fromUtf8(s)) : std::nullopt;
}

TEST_F(SettingsWindowTest, PasswordChangesFollowTheirRules) {
    const PasswordCase cases[] = {
        {"all empty carries the password over", "pw", "", "", "", nullptr, "pw"},
        {"all empty without a password", nullptr, "", "", "", nullptr, nullptr},
        {"first password ignores the old field", nullptr, "junk", "n1", "n1", nullptr, "n1"},
        {"old field empty", "pw", "", "n1", "n1", "Incorrect password", nullptr},
        {"old field wrong", "pw", "nope", "n1", "n1", "Incorrect password", nullptr},
        {"old field in another case", "pw", "PW", "n1", "n1", "Incorrect password", nullptr},
        {"old wrong and new ones differ", "pw", "nope", "n1", "n2", "Incorrect password", nullptr},
        {"new ones differ", "pw", "pw", "n1", "n2", "New passwords don't match", nullptr},
        {"new ones differ in case", "pw", "pw", "secret", "Secret", "New passwords don't match", nullptr},
        {"only the new field", "pw", "pw", "n1", "", nullptr, "pw"},
        {"only the confirmation", "pw", "", "", "n1", nullptr, "pw"},
        {"changed, nothing trimmed", "pw", "pw", " n 1 ", " n 1 ", nullptr, " n 1 "},
        {"an empty stored password", "", "", "n1", "n1", nullptr, "n1"},
    };
    for (const PasswordCase& c : cases) {
        QByteArray body = num("RetryCount", 4);
        if (c.stored != nullptr) {
            body += str("Password", QString::fromUtf8(c.stored));
        }
        files.writeSettings(plist(body));
        open();
        d.oldPassTextbox()->setText(QString::fromUtf8(c.oldText));
        d.newPassTextbox()->setText(QString::fromUtf8(c.newText));
        d.confirmPassTextbox()->setText(QString::fromUtf8(c.confirmText));
        const QByteArray before = files.readSettings();
        const auto hotKeysBefore = *fakes.hotKeys->live;
        click("saveButton");

        EXPECT_EQ(d.errorLabel()->text(), text(c.error).value_or(QString())) << c.name;
        EXPECT_EQ(*fakes.hotKeys->live == hotKeysBefore, c.error != nullptr) << c.name << ": registered anew";
        if (c.error == nullptr) {
            EXPECT_FALSE(ui.settingsWindow().isVisible()) << c.name;
            const PropertyList saved = stored();
            EXPECT_EQ(saved.contains(QStringLiteral("Password")), c.expected != nullptr) << c.name;
            EXPECT_EQ(saved.stringValue(QStringLiteral("Password")), text(c.expected)) << c.name;
        } else {
            EXPECT_TRUE(ui.settingsWindow().isVisible()) << c.name;
            EXPECT_EQ(files.readSettings(), before) << c.name;
            EXPECT_EQ(d.newPassTextbox()->text(), QString::fromUtf8(c.newText))
                << c.name << ": the form stays as typed";
        }
        // No typed password ever reaches the log.
        for (const QString& line : *fakes.logLines) {
            for (const char* secret : {c.oldText, c.newText, c.confirmText}) {
                const QString typed = QString::fromUtf8(secret).trimmed();
                EXPECT_TRUE(typed.isEmpty() || !line.contains(typed)) << c.name;
            }
        }
    }
}

TEST_F(SettingsWindowTest, ASaveWritesExactlyTheFormsKeysInOrder) {
    files.writeSettings(plist(kEveryKey + str("Extra", QStringLiteral("dropped")) + num("Other", 9)));
    open();
    d.languageDropdown()->setCurrentText(QStringLiteral("Français"));
    d.lockShiftCheckbox()->setChecked(false);
    d.lockDropdown()->setCurrentText(QStringLiteral("M"));
    d.offAltCheckbox()->setChecked(true);
    d.inactivityTextbox()->setText(QStringLiteral("abc"));
    d.imageRadiobutton()->button(0)->setChecked(true);
    d.imagePathTextbox()->setText(QStringLiteral("/nowhere/b.bmp"));
    d.retriesTimeTextbox()->setText(QStringLiteral(" -2s"));
    d.retriesCountTextbox()->setText(QStringLiteral("9"));
    click("saveButton");

    const PropertyList saved = stored();
    EXPECT_EQ(saved.keys().join(u' '), QStringLiteral("Language LockShift LockControl LockAlt LockFunc OffShift "
                                                      "OffControl OffAlt OffFunc Password InactivityTime ImageType "
                                                      "ImagePath RetryTime RetryCount RetryLeft"));
    EXPECT_EQ(saved.stringValue(QStringLiteral("Language")), QStringLiteral("Français"));
    EXPECT_EQ(saved.integerValue(QStringLiteral("LockShift")), 0);
    EXPECT_EQ(saved.integerValue(QStringLiteral("LockAlt")), 1);
    EXPECT_EQ(saved.stringValue(QStringLiteral("LockFunc")), QStringLiteral("M"));
    EXPECT_EQ(saved.integerValue(QStringLiteral("OffAlt")), 1);
    EXPECT_EQ(saved.integerValue(QStringLiteral("InactivityTime")), 0) << "text without digits";
    EXPECT_EQ(saved.integerValue(QStringLiteral("ImageType")), 0);
    EXPECT_EQ(saved.stringValue(QStringLiteral("ImagePath")), QStringLiteral("/nowhere/b.bmp"));
    EXPECT_EQ(saved.integerValue(QStringLiteral("RetryTime")), -2);
    EXPECT_EQ(saved.integerValue(QStringLiteral("RetryCount")), 9);
    EXPECT_EQ(saved.integerValue(QStringLiteral("RetryLeft")), 9) << "every save restores all attempts";
    EXPECT_FALSE(ui.settingsWindow().isVisible());
    ASSERT_EQ(fakes.hotKeys->live->size(), 2u) << "both hotkeys registered from the file just written";
    EXPECT_EQ(fakes.hotKeys->live->front()->keyCode, VessikAppDelegate::keyCodeForKeyString(QStringLiteral("M")));
    EXPECT_EQ(fakes.hotKeys->live->front()->modifiers, std::uint32_t{optionKey});
}

TEST_F(SettingsWindowTest, ASaveAfterAFailedLoadWritesTheWholeForm) {
    files.writeSettings(plist(kEveryKey));
    open();
    files.writeSettings("garbage");
    click("saveButton");
    const PropertyList saved = stored();
    EXPECT_EQ(saved.count(), 15) << "every key but the password";
    EXPECT_FALSE(saved.contains(QStringLiteral("Password")));
    EXPECT_EQ(saved.stringValue(QStringLiteral("LockFunc")), QStringLiteral("F5"));
}

// --- Cancel and the picture chooser -----------------------------------------

TEST_F(SettingsWindowTest, CancelWritesNothingAndReopeningShowsTheStoredValues) {
    files.writeSettings(plist(kEveryKey));
    open();
    const QByteArray before = files.readSettings();
    scribble();
    d.lockDropdown()->setCurrentText(QStringLiteral("A"));
    click("cancelButton");
    EXPECT_FALSE(ui.settingsWindow().isVisible());
    EXPECT_EQ(files.readSettings(), before);
    EXPECT_TRUE(d.newPassTextbox()->text().isEmpty()) << "no typed password stays in a closed window";
    open();
    EXPECT_EQ(d.lockDropdown()->currentText(), QStringLiteral("F5"));
    EXPECT_EQ(d.inactivityTextbox()->text(), QStringLiteral("30"));
    EXPECT_EQ(d.lockControlCheckbox()->checkState(), Qt::Unchecked);
}

TEST_F(SettingsWindowTest, ThePictureChooserOnlyChangesThePathWhenAPictureIsConfirmed) {
    QTemporaryDir pictures;
    const QString png = pictures.filePath(QStringLiteral("Beach.PNG"));
    const QString text = pictures.filePath(QStringLiteral("notes.txt"));
    for (const QString& path : {png, text}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    files.writeSettings(plist(kEveryKey));
    open();
    d.imageRadiobutton()->button(0)->setChecked(true);
    const QByteArray before = files.readSettings();

    struct Answer {
        const char* name;
        QString file;  // selected in the dialog
        bool confirm;  // OK or Cancel
        QString shown; // the path field afterwards
        bool error;
    };
    const Answer answers[] = {
        {"dismissed", {}, false, QStringLiteral("/pics/a.png"), false},
        {"picked, then dismissed", png, false, QStringLiteral("/pics/a.png"), false},
        {"not a picture", text, true, QStringLiteral("/pics/a.png"), true},
        {"a picture", png, true, png, false},
    };
    for (const Answer& a : answers) {
        d.errorLabel()->clear();
        QStringList filters;
        QFileDialog::FileMode mode = QFileDialog::AnyFile;
        d.setFileDialogRunner([&](QFileDialog& dialog) {
            filters = dialog.nameFilters();
            mode = dialog.fileMode();
            if (!a.file.isEmpty()) {
                dialog.selectFile(a.file);
            }
            QDialog& asked = dialog; // accept() is public on QDialog
            a.confirm ? asked.accept() : asked.reject();
            return dialog.result();
        });
        click("browseButton");
        EXPECT_EQ(mode, QFileDialog::ExistingFile) << a.name;
        ASSERT_EQ(filters.size(), 1) << a.name;
        EXPECT_TRUE(filters.first().contains(QStringLiteral("(*.jpg *.gif *.png *.bmp)"))) << a.name;
        EXPECT_EQ(d.imagePathTextbox()->text(), a.shown) << a.name;
        EXPECT_EQ(d.errorLabel()->text().isEmpty(), !a.error) << a.name;
    }
    // Browsing neither picks the picture row nor saves; cancel drops the path.
    EXPECT_EQ(d.imageRadiobutton()->checkedId(), 0);
    EXPECT_EQ(files.readSettings(), before);
    click("cancelButton");
    EXPECT_EQ(files.readSettings(), before);
}

// --- A save whose write fails ----------------------------------------------

// After a save with "n1" typed twice whose write failed: the window is open with
// the form as typed, the file as `before`, and the cause logged.
void expectFailedWriteKeepsTheWindowOpen(MainInterface& ui, const FakePlatform& fakes, const QByteArray& before,
                                         const std::function<QByteArray()>& read) {
    VessikAppDelegate& d = ui.delegate();
    EXPECT_TRUE(ui.settingsWindow().isVisible());
    EXPECT_TRUE(d.errorLabel()->text().startsWith(QStringLiteral("Could not save the settings file")));
    EXPECT_EQ(d.newPassTextbox()->text(), QStringLiteral("n1")) << "the form stays as typed";
    EXPECT_EQ(read(), before);
    ASSERT_FALSE(fakes.logLines->isEmpty());
    EXPECT_TRUE(fakes.logLines->last().startsWith(QStringLiteral("Cannot write settings file"))) << "the cause";
    EXPECT_TRUE(fakes.hotKeys->live->empty()) << "no hotkeys registered from a file that was not written";
}

TEST_F(SettingsWindowTest, ASaveOverADirectoryKeepsTheWindowOpen) {
    open();
    d.newPassTextbox()->setText(QStringLiteral("n1"));
    d.confirmPassTextbox()->setText(QStringLiteral("n1"));
    files.removeSettings();
    ASSERT_TRUE(QDir().mkdir(files.settingsPath()));
    click("saveButton");
    expectFailedWriteKeepsTheWindowOpen(ui, fakes, QByteArray(), [&] { return files.readSettings(); });
    EXPECT_TRUE(QFileInfo(files.settingsPath()).isDir());
}

// Run in a child process with a mount namespace of its own by the next test: the
// bundle lives on a tiny tmpfs that is full when the save writes.
TEST(SettingsWindowDiskFull, DISABLED_SaveOnAFullDisk) {
    QTemporaryDir mountPoint;
    const QByteArray where = mountPoint.path().toLocal8Bit();
    ASSERT_EQ(::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    TestBundle source;
    const QString resources = mountPoint.path() + QStringLiteral("/Resources");
    ASSERT_TRUE(QDir().mkpath(resources));
    for (const char* name : {"Settings.plist", "bg.png"}) {
        ASSERT_TRUE(QFile::copy(source.bundle().resourcesPath() + u'/' + QLatin1String(name),
                                resources + u'/' + QLatin1String(name)));
    }
    QFile filler(mountPoint.path() + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(512, 'x');
    while (filler.write(block) == block.size()) {
    }
    filler.close();

    FakePlatform fakes;
    MainInterface ui(Bundle(mountPoint.path()), fakes.take());
    const auto read = [&] {
        QFile f(resources + QStringLiteral("/Settings.plist"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray before = read();
    ui.trayMenu().findChild<QAction*>(QStringLiteral("settingsAction"))->trigger();
    ui.delegate().newPassTextbox()->setText(QStringLiteral("n1"));
    ui.delegate().confirmPassTextbox()->setText(QStringLiteral("n1"));
    ui.delegate().lockDropdown()->setCurrentText(QStringLiteral("M"));
    ui.settingsWindow().findChild<QPushButton*>(QStringLiteral("saveButton"))->click();
    expectFailedWriteKeepsTheWindowOpen(ui, fakes, before, read);
    ::umount(where.constData());
}

TEST(SettingsWindowDiskFull, ASaveOnAFullDiskKeepsTheWindowOpen) {
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                 QCoreApplication::applicationFilePath(), QStringLiteral("--gtest_also_run_disabled_tests"),
                 QStringLiteral("--gtest_filter=SettingsWindowDiskFull.DISABLED_SaveOnAFullDisk")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QByteArray out = child.readAll();
    EXPECT_EQ(child.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.constData();
}

} // namespace
