// The settings window with its real widgets (offscreen) over a temporary bundle:
// the form after a load, saving with the password change, cancel, the picture chooser.
#include <functional>
#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtGui/QAction>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QButtonGroup>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLayout>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPushButton>

#include "fakes/ChildTest.h"
#include "fakes/RunningVessik.h"

namespace {

using PlistXml::dict;
using PlistXml::integer;
using PlistXml::string;

const QByteArray kEveryKey = string("Language", QStringLiteral("Deutsch")) + integer("LockShift", 1) +
                             integer("LockControl", 0) + integer("LockAlt", 1) +
                             string("LockFunc", QStringLiteral("F5")) + integer("OffShift", 0) +
                             integer("OffControl", 1) + integer("OffAlt", 0) + string("OffFunc", QStringLiteral("Z")) +
                             string("Password", QStringLiteral("pw")) + integer("InactivityTime", 30) +
                             integer("ImageType", 1) + string("ImagePath", QStringLiteral("/pics/a.png")) +
                             integer("RetryTime", 7) + integer("RetryCount", 3) + integer("RetryLeft", 1);

class SettingsWindowTest : public ::testing::Test, protected RunningVessik {
protected:
    SettingsWindowTest() : RunningVessik({.upTo = Built}) {}
    VessikAppDelegate& d = delegate();

    template <typename T> T* widget(const char* name) {
        T* w = ui().settingsWindow().findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* button) { widget<QPushButton>(button)->click(); }
    void open() { ui().trayMenu().findChild<QAction*>(QStringLiteral("settingsAction"))->trigger(); }
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
    files.writeSettings(dict(kEveryKey));
    d.languageDropdown()->setEditable(true);
    scribble();
    open();

    EXPECT_TRUE(ui().settingsWindow().isVisible());
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
    EXPECT_FALSE(ui().settingsWindow().palette().brush(QPalette::Window).texture().isNull()) << "bg.png tiles";
}

TEST_F(SettingsWindowTest, MissingKeysAndFailedLoadsKeepTextsAndClearTheRest) {
    const std::pair<const char*, QByteArray> cases[] = {
        {"empty dictionary", dict("")},
        {"corrupt file", QByteArray("<plist><dict><key>Password")},
        {"missing file", QByteArray()},
    };
    for (const auto& [name, content] : cases) {
        files.writeSettings(dict(kEveryKey));
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
    files.writeSettings(dict(string("InactivityTime", QStringLiteral("45")) + string("LockShift", QStringLiteral("1")) +
                             string("RetryCount", QStringLiteral(" 3x")) + integer("LockFunc", 5) +
                             string("OffFunc", QStringLiteral("F13")) + integer("LockControl", 2) +
                             integer("LockAlt", -1) + string("Password", QString())));
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
    // A click makes a mixed box a plain one: it never comes back to mixed.
    for (const Qt::CheckState next : {Qt::Checked, Qt::Unchecked, Qt::Checked}) {
        d.lockAltCheckbox()->click();
        EXPECT_EQ(d.lockAltCheckbox()->checkState(), next);
    }

    // The extra item made for an unlisted name goes with the next fill.
    files.writeSettings(dict(string("OffFunc", QStringLiteral("Q")) + integer("LockControl", 1)));
    open();
    EXPECT_EQ(d.offDropdown()->findText(QStringLiteral("F13")), -1);
    EXPECT_EQ(d.offDropdown()->count(), 48);
    EXPECT_EQ(d.lockControlCheckbox()->checkState(), Qt::Checked);
    d.lockControlCheckbox()->click();
    EXPECT_EQ(d.lockControlCheckbox()->checkState(), Qt::Unchecked) << "a plain two-state box again";
}

TEST_F(SettingsWindowTest, OnlyAnImageTypeOfOneSelectsThePictureFile) {
    const std::pair<QByteArray, int> cases[] = {
        {integer("ImageType", 0), 0},
        {integer("ImageType", 1), 1},
        {integer("ImageType", 2), 0},
        {integer("ImageType", -1), 0},
        {QByteArray(), 0},
        {string("ImageType", QStringLiteral("1")), 1},
    };
    for (const auto& [entry, row] : cases) {
        files.writeSettings(dict(entry));
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
        QByteArray body = integer("RetryCount", 4);
        if (c.stored != nullptr) {
            body += string("Password", QString::fromUtf8(c.stored));
        }
        files.writeSettings(dict(body));
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
            EXPECT_FALSE(ui().settingsWindow().isVisible()) << c.name;
            const PropertyList saved = stored();
            EXPECT_EQ(saved.contains(QStringLiteral("Password")), c.expected != nullptr) << c.name;
            EXPECT_EQ(saved.stringValue(QStringLiteral("Password")), text(c.expected)) << c.name;
        } else {
            EXPECT_TRUE(ui().settingsWindow().isVisible()) << c.name;
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
    files.writeSettings(dict(kEveryKey + string("Extra", QStringLiteral("dropped")) + integer("Other", 9)));
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
    EXPECT_FALSE(ui().settingsWindow().isVisible());
    ASSERT_EQ(fakes.hotKeys->live->size(), 2u) << "both hotkeys registered from the file just written";
    EXPECT_EQ(fakes.hotKeys->live->front()->keyCode, VessikAppDelegate::keyCodeForKeyString(QStringLiteral("M")));
    EXPECT_EQ(fakes.hotKeys->live->front()->modifiers, std::uint32_t{optionKey});
}

TEST_F(SettingsWindowTest, ASaveAfterAFailedLoadWritesTheWholeForm) {
    files.writeSettings(dict(kEveryKey));
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
    files.writeSettings(dict(kEveryKey));
    open();
    const QByteArray before = files.readSettings();
    scribble();
    d.lockDropdown()->setCurrentText(QStringLiteral("A"));
    click("cancelButton");
    EXPECT_FALSE(ui().settingsWindow().isVisible());
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
    files.writeSettings(dict(kEveryKey));
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
    // The message takes two lines; the window makes room for it instead of
    // squeezing the other rows.
    ui.settingsWindow().layout()->activate();
    for (const QLabel* label : ui.settingsWindow().findChildren<QLabel*>()) {
        const int needed =
            label->wordWrap() ? label->heightForWidth(label->width()) : label->minimumSizeHint().height();
        EXPECT_GE(label->height(), needed) << label->objectName().toStdString();
    }
}

TEST_F(SettingsWindowTest, ASaveOverADirectoryKeepsTheWindowOpen) {
    open();
    d.newPassTextbox()->setText(QStringLiteral("n1"));
    d.confirmPassTextbox()->setText(QStringLiteral("n1"));
    files.removeSettings();
    ASSERT_TRUE(QDir().mkdir(files.settingsPath()));
    click("saveButton");
    expectFailedWriteKeepsTheWindowOpen(ui(), fakes, QByteArray(), [&] { return files.readSettings(); });
    EXPECT_TRUE(QFileInfo(files.settingsPath()).isDir());
}

// Run by the next test in a child process: the bundle lives on a tiny disk of the
// child's own, which is full when the save writes.
TEST(SettingsWindowDiskFull, DISABLED_SaveOnAFullDisk) {
    const QString disk = childTestTinyDisk();
    ASSERT_FALSE(disk.isEmpty()) << "run by SettingsWindowDiskFull.ASaveOnAFullDiskKeepsTheWindowOpen only";
    TestBundle source;
    const QString resources = disk + QStringLiteral("/Resources");
    ASSERT_TRUE(QDir().mkpath(resources));
    for (const char* name : {"Settings.plist", "bg.png"}) {
        ASSERT_TRUE(QFile::copy(source.bundle().resourcesPath() + u'/' + QLatin1String(name),
                                resources + u'/' + QLatin1String(name)));
    }
    QFile filler(disk + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(512, 'x');
    while (filler.write(block) == block.size()) {
    }
    filler.close();

    FakePlatform fakes;
    MainInterface ui(Bundle(disk), fakes.take());
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
}

TEST(SettingsWindowDiskFull, ASaveOnAFullDiskKeepsTheWindowOpen) {
    const QTemporaryDir disk;
    EXPECT_TRUE(runChildTest(
        {.name = "SettingsWindowDiskFull.DISABLED_SaveOnAFullDisk", .tinyDisk = disk.path(), .tinyDiskSize = "64k"}));
}

} // namespace
