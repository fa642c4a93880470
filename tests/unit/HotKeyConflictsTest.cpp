// The warning about keys that the system already uses, its alert and its translations.
#include <gtest/gtest.h>

#include <QtCore/QDeadlineTimer>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtCore/QTranslator>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "Translations.h"
#include "fakes/RunningVessik.h"
#include "platform/linux/DesktopPreferencePane.h"

namespace {

// What the user saw of one alert, and how it was answered.
struct SeenAlert {
    QString windowTitle;
    QString text;
    QString informativeText;
    QStringList buttons;
    QString defaultButton;
};

// Arms an answer for the next modal alert: it presses the button with the
// object name `button`, or Escape when `button` is null. Until `seen` is filled
// no alert has been shown.
void answerNextAlert(const char* button, std::optional<SeenAlert>* seen) {
    QTimer::singleShot(0, [button, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        SeenAlert s{box->windowTitle(), box->text(), box->informativeText(), {}, {}};
        for (QAbstractButton* b : box->buttons()) {
            s.buttons.append(b->text());
        }
        s.defaultButton = box->defaultButton() != nullptr ? box->defaultButton()->text() : QString();
        *seen = s;
        if (button != nullptr) {
            box->findChild<QPushButton*>(QString::fromLatin1(button))->click();
        } else {
            box->reject();
        }
    });
}

QString titleFor(const QString& key) {
    return QStringLiteral("Key \"%1\" is in use by a system and it may work incorrectly. You can try it or change "
                          "system hotkeys.")
        .arg(key);
}

class HotKeyConflictsTest : public ::testing::Test, protected RunningVessik {
protected:
    HotKeyConflictsTest() : RunningVessik({.upTo = Awake}) {}
    VessikAppDelegate& d = delegate();

    void systemUses(std::initializer_list<SymbolicHotKey> keys) { fakes.symbolicHotKeys->keys = keys; }

    // Picks `name` in `box` as the user would and returns the alert it raised, if any.
    std::optional<SeenAlert> pick(QComboBox* box, const QString& name, const char* answer = "tryItButton") {
        std::optional<SeenAlert> seen;
        answerNextAlert(answer, &seen);
        box->setCurrentText(name);
        Q_EMIT box->activated(box->currentIndex());
        QCoreApplication::processEvents(); // lets the armed answer run even when no alert came
        return seen;
    }
};

TEST_F(HotKeyConflictsTest, OnlyAnEnabledSystemHotkeyOnThatKeyMakesItUnavailable) {
    struct Case {
        const char* name;
        bool listFails;
        std::vector<SymbolicHotKey> keys;
        std::int32_t asked;
        bool available;
    };
    const Case cases[] = {
        {"nothing in use", false, {}, 12, true},
        {"enabled on that key", false, {{12, true}}, 12, false},
        {"disabled on that key", false, {{12, false}}, 12, true},
        {"enabled on another key", false, {{13, true}}, 12, true},
        {"disabled first, enabled later", false, {{12, false}, {7, true}, {12, true}}, 12, false},
        {"the A key, code 0", false, {{0, true}}, 0, false},
        {"the list cannot be read", true, {{12, true}}, 12, true},
    };
    for (const Case& c : cases) {
        fakes.symbolicHotKeys->fail = c.listFails;
        fakes.symbolicHotKeys->keys = c.keys;
        EXPECT_EQ(d.isKeyAvailable(c.asked), c.available) << c.name;
    }
}

TEST_F(HotKeyConflictsTest, EachChooserChecksItsOwnKeyWhateverTheModifiers) {
    systemUses({{12, true}}); // "Q", with whatever modifiers the system uses
    d.lockShiftCheckbox()->setChecked(false);

    auto lockAlert = pick(d.lockDropdown(), QStringLiteral("Q"));
    ASSERT_TRUE(lockAlert);
    EXPECT_EQ(lockAlert->text, titleFor(QStringLiteral("Q")));

    EXPECT_FALSE(pick(d.lockDropdown(), QStringLiteral("W"))) << "a free key raises nothing";

    // The shut-down chooser reads its own combo box, not the lock one.
    d.lockDropdown()->setCurrentText(QStringLiteral("Q"));
    EXPECT_FALSE(pick(d.offDropdown(), QStringLiteral("P")));
    auto offAlert = pick(d.offDropdown(), QStringLiteral("Q"));
    ASSERT_TRUE(offAlert);
    EXPECT_EQ(offAlert->text, titleFor(QStringLiteral("Q")));
}

TEST_F(HotKeyConflictsTest, ANameOutsideTheTableIsCheckedAsTheAKeyAndShownAsTyped) {
    systemUses({{0, true}});
    d.lockDropdown()->setEditable(true);
    std::optional<SeenAlert> seen;
    answerNextAlert("tryItButton", &seen);
    d.lockDropdown()->setEditText(QStringLiteral("F13"));
    d.changeLockHotkeys(d.lockDropdown());
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->text, titleFor(QStringLiteral("F13")));
}

TEST_F(HotKeyConflictsTest, TheAlertOffersTryItAndChangeAndOnlyChangeOpensTheSettings) {
    systemUses({{12, true}});
    const QByteArray settingsBefore = files.readSettings();
    d.initHotKeys();
    const auto registrationsBefore = *fakes.hotKeys->live;

    struct Answer {
        const char* button;
        int opened;
    };
    for (const Answer& a : {Answer{"tryItButton", 0}, Answer{nullptr, 0}, Answer{"changeButton", 1}}) {
        fakes.preferencePane->opened = 0;
        auto seen = pick(d.lockDropdown(), QStringLiteral("Q"), a.button);
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->text, titleFor(QStringLiteral("Q")));
        EXPECT_EQ(seen->windowTitle, titleFor(QStringLiteral("Q")));
        EXPECT_EQ(seen->informativeText, QString());
        EXPECT_EQ(seen->buttons.size(), 2);
        EXPECT_TRUE(seen->buttons.contains(QStringLiteral("Try it")));
        EXPECT_TRUE(seen->buttons.contains(QStringLiteral("Change")));
        EXPECT_EQ(seen->defaultButton, QStringLiteral("Try it"));
        EXPECT_EQ(fakes.preferencePane->opened, a.opened) << (a.button ? a.button : "Escape");
        EXPECT_EQ(d.lockDropdown()->currentText(), QStringLiteral("Q")) << "the chosen key stays";
    }
    EXPECT_EQ(files.readSettings(), settingsBefore) << "the check stores nothing";
    EXPECT_EQ(*fakes.hotKeys->live, registrationsBefore) << "and registers nothing";
}

TEST_F(HotKeyConflictsTest, TheButtonsAreTranslatedFromTheBundleAndTheTitleIsNot) {
    const Bundle built{QStringLiteral(VESSIK_SOURCE_BUNDLE)};
    systemUses({{12, true}});
    const std::tuple<const char*, const char*, const char*> languages[] = {
        {"de_DE", "Ausprobieren", "Ändern"},
        {"fr_FR", "Essayer", "Modifier"},
        {"de_AT", "Ausprobieren", "Ändern"},
    };
    for (const auto& [locale, tryIt, change] : languages) {
        QTranslator translator;
        ASSERT_TRUE(loadBundleTranslation(translator, built, QLocale(QString::fromLatin1(locale)))) << locale;
        QCoreApplication::installTranslator(&translator);
        auto seen = pick(d.lockDropdown(), QStringLiteral("Q"));
        QCoreApplication::removeTranslator(&translator);
        ASSERT_TRUE(seen);
        EXPECT_TRUE(seen->buttons.contains(QString::fromUtf8(tryIt))) << seen->buttons.join(u',').toStdString();
        EXPECT_TRUE(seen->buttons.contains(QString::fromUtf8(change))) << locale;
        EXPECT_EQ(seen->defaultButton, QString::fromUtf8(tryIt));
        EXPECT_EQ(seen->text, titleFor(QStringLiteral("Q")));
    }
    QTranslator english;
    EXPECT_FALSE(loadBundleTranslation(english, built, QLocale(QStringLiteral("en_US"))))
        << "English needs no translation";
}

// Waits for a file that a detached program writes.
QByteArray waitForFile(const QString& path) {
    QDeadlineTimer deadline(10000);
    while (!QFile::exists(path) && !deadline.hasExpired()) {
        QThread::msleep(10);
    }
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(DesktopPreferencePane, StartsTheFirstInstalledShortcutSettings) {
    QTemporaryDir bin;
    const QString marker = bin.filePath(QStringLiteral("started"));
    // Xfce's and Cinnamon's are installed here; Xfce comes first.
    for (const char* program : {"xfce4-keyboard-settings", "cinnamon-settings"}) {
        QFile script(bin.filePath(QString::fromLatin1(program)));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\necho \"%1 $*\" > '%2.tmp' && /bin/mv '%2.tmp' '%2'\n")
                         .arg(QString::fromLatin1(program), marker)
                         .toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QFile notExecutable(bin.filePath(QStringLiteral("gnome-control-center")));
    ASSERT_TRUE(notExecutable.open(QIODevice::WriteOnly));
    notExecutable.close();

    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit());
    DesktopPreferencePane pane;
    const bool opened = pane.openKeyboardPreferences();
    qputenv("PATH", path);
    EXPECT_TRUE(opened);
    EXPECT_EQ(waitForFile(marker), QByteArray("xfce4-keyboard-settings \n"));

    QTemporaryDir empty;
    qputenv("PATH", empty.path().toLocal8Bit());
    EXPECT_FALSE(pane.openKeyboardPreferences()) << "no desktop's settings installed";
    qputenv("PATH", path);
}

} // namespace
