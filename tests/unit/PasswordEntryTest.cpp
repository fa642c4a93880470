// The password field of the lock window and the retry count in the settings file.
#include <sys/stat.h>

#include <QtCore/QElapsedTimer>
#include <QtTest/QTest>

#include "unit/LockTestSupport.h"

namespace {

const QString kRetryLeft = QStringLiteral("RetryLeft");

class PasswordEntryTest : public LockedVessikTest {
protected:
    // Types `entry` into the locked screen's field and submits it with Return.
    void enter(const QString& entry) {
        field().setText(entry);
        QTest::keyClick(&field(), Qt::Key_Return);
    }
    ino_t settingsInode() {
        struct stat st {};
        ::stat(files.settingsPath().toLocal8Bit().constData(), &st);
        return st.st_ino;
    }
    QTimer* reenableTimer() {
        const auto timers = delegate().findChildren<QTimer*>(QStringLiteral("enablePasswordTimer"));
        return timers.isEmpty() ? nullptr : timers.last();
    }
};

TEST_F(PasswordEntryTest, OnlyTheExactStoredPasswordUnlocksAndAnEmptyEntryIsNoAttempt) {
    struct Case {
        const char* name;
        std::optional<QString> stored; // nothing: "Password" removed from the file after the lock began
        QString entry;
        bool unlocks;
        bool counts; // a wrong entry: counted, and the field disabled
    };
    const Case cases[] = {
        {"same", QStringLiteral("Secret pw"), QStringLiteral("Secret pw"), true, false},
        {"letter case", QStringLiteral("Secret pw"), QStringLiteral("secret pw"), false, true},
        {"leading space", QStringLiteral("Secret pw"), QStringLiteral(" Secret pw"), false, true},
        {"trailing space", QStringLiteral("Secret pw"), QStringLiteral("Secret pw "), false, true},
        {"empty entry (Return to wake the screen)", QStringLiteral("Secret pw"), QString(), false, false},
        {"empty password, empty entry", QString(), QString(), true, false},
        {"empty password, a space", QString(), QStringLiteral(" "), false, true},
        {"password removed", std::nullopt, QStringLiteral("pw"), false, true},
        {"password removed, empty entry", std::nullopt, QString(), false, false},
    };
    for (const Case& c : cases) {
        editSettings([](PropertyList& p) {
            p.setInteger(QStringLiteral("RetryCount"), 5);
            p.setInteger(kRetryLeft, 5);
        });
        if (c.stored) {
            editSettings([&c](PropertyList& p) { p.setString(QStringLiteral("Password"), *c.stored); });
        }
        lock();
        if (!c.stored) {
            editSettings([](PropertyList& p) { p.remove(QStringLiteral("Password")); });
        }
        enter(c.entry);
        EXPECT_EQ(delegate().isCaptured(), !c.unlocks) << c.name;
        EXPECT_EQ(settings().integerValue(kRetryLeft), c.counts ? 4 : 5) << c.name;
        EXPECT_EQ(field().isEnabled(), !c.counts) << c.name;
        EXPECT_TRUE(field().text().isEmpty()) << c.name << ": no entry stays in the field, an unlock included";
        if (delegate().isCaptured()) {
            delegate().unlockScreen();
        }
        delegate().enablePasswordTextbox();
        editSettings([](PropertyList& p) { p.setString(QStringLiteral("Password"), QStringLiteral("pw")); });
    }
}

TEST_F(PasswordEntryTest, WrongEntriesCountDownAndTheOneReachingZeroShutsDown) {
    const std::tuple<const char*, std::optional<std::int64_t>, std::int64_t, bool> cases[] = {
        {"3 left", 3, 2, false},
        {"1 left", 1, 4, true},
        {"0 left", 0, -1, false},
        {"-5 left", -5, -6, false},
        {"missing", std::nullopt, -1, false},
    };
    for (const auto& [name, left, after, shutsDown] : cases) {
        editSettings([&left = left](PropertyList& p) {
            p.setInteger(QStringLiteral("RetryCount"), 4);
            left ? p.setInteger(kRetryLeft, *left) : p.remove(kRetryLeft);
        });
        lock();
        const ino_t before = settingsInode();
        std::optional<std::int64_t> leftAtShutdown;
        ino_t inodeAtShutdown = 0;
        fakes.powerOff->onPowerOff = [&] {
            leftAtShutdown = settings().integerValue(kRetryLeft);
            inodeAtShutdown = settingsInode();
        };
        enter(QStringLiteral("wrong"));
        EXPECT_EQ(settings().integerValue(kRetryLeft), after) << name;
        EXPECT_EQ(fakes.events->events.contains(QStringLiteral("poweroff")), shutsDown) << name;
        if (shutsDown) {
            // Written before the shutdown is asked for, and once more after it.
            EXPECT_EQ(leftAtShutdown, 4) << name;
            EXPECT_NE(inodeAtShutdown, before) << name;
            EXPECT_NE(settingsInode(), inodeAtShutdown) << name;
        }
        EXPECT_TRUE(delegate().isCaptured()) << name << ": a wrong entry never unlocks";
        EXPECT_FALSE(field().isEnabled()) << name;
        delegate().unlockScreen();
        delegate().enablePasswordTextbox();
    }
}

TEST_F(PasswordEntryTest, AWrongEntryEmptiesAndDisablesTheFieldForRetryTime) {
    const std::tuple<std::int64_t, int> cases[] = {{5, 5000}, {0, 0}, {-3, 0}};
    for (const auto& [retryTime, interval] : cases) {
        editSettings(
            [retryTime = retryTime](PropertyList& p) { p.setInteger(QStringLiteral("RetryTime"), retryTime); });
        lock();
        enter(QStringLiteral("wrong"));
        EXPECT_TRUE(field().text().isEmpty());
        EXPECT_FALSE(field().isEnabled());
        QTimer* timer = reenableTimer();
        ASSERT_NE(timer, nullptr);
        EXPECT_TRUE(timer->isSingleShot());
        EXPECT_EQ(timer->interval(), interval) << retryTime;
        if (interval == 0) {
            QApplication::processEvents();
            EXPECT_TRUE(field().isEnabled()) << retryTime;
            EXPECT_EQ(QApplication::focusWidget(), &field()) << retryTime;
        }
        delegate().unlockScreen();
        delegate().enablePasswordTextbox();
    }
}

TEST_F(PasswordEntryTest, TheCountIsResetToRetryCountAsStored) {
    // A correct entry copies "RetryCount" unchanged, whatever its kind.
    editSettings([](PropertyList& p) {
        p.setString(QStringLiteral("RetryCount"), QStringLiteral("7"));
        p.setInteger(kRetryLeft, 2);
    });
    lock();
    enter(QStringLiteral("pw"));
    EXPECT_FALSE(delegate().isCaptured());
    EXPECT_EQ(settings().stringValue(kRetryLeft), QStringLiteral("7"));

    // Without "RetryCount" the count starts again from 5, the shipped count.
    for (const std::int64_t left : {3, 1}) {
        editSettings([left](PropertyList& p) {
            p.remove(QStringLiteral("RetryCount"));
            p.setInteger(kRetryLeft, left);
        });
        lock();
        enter(left == 1 ? QStringLiteral("wrong") : QStringLiteral("pw"));
        EXPECT_EQ(settings().integerValue(kRetryLeft), 5) << left;
        if (delegate().isCaptured()) {
            delegate().unlockScreen();
        }
    }
}

TEST_F(PasswordEntryTest, TheCountSurvivesARestart) {
    editSettings([](PropertyList& p) { p.setInteger(kRetryLeft, 3); });
    lock();
    enter(QStringLiteral("wrong"));
    restart();
    lock();
    enter(QStringLiteral("wrong again"));
    EXPECT_EQ(settings().integerValue(kRetryLeft), 1);
}

TEST_F(PasswordEntryTest, AnUnreadableFileMidLockNeitherLocksOutNorCounts) {
    editSettings([](PropertyList& p) { p.setInteger(kRetryLeft, 1); });
    lock();
    files.writeSettings("<plist><dict><key>Password"); // broken while the screen is locked
    enter(QStringLiteral("wrong"));
    EXPECT_TRUE(delegate().isCaptured());
    EXPECT_FALSE(field().isEnabled());
    ASSERT_NE(reenableTimer(), nullptr);
    EXPECT_EQ(reenableTimer()->interval(), 5000) << "the lock-out time in force when the lock began";
    EXPECT_FALSE(fakes.events->events.contains(QStringLiteral("poweroff")));

    delegate().enablePasswordTextbox();
    enter(QStringLiteral("pw"));
    EXPECT_FALSE(delegate().isCaptured());
    EXPECT_EQ(files.readSettings(), QByteArray("<plist><dict><key>Password")) << "nothing is written over it";
}

TEST_F(PasswordEntryTest, ALockResumedByAVessikStartedAgainLocksAtOnceWithItsLockOutAndItsSettings) {
    const std::tuple<const char*, std::function<void(TestBundle&)>, bool> cases[] = {
        {"the file as it was", [](TestBundle&) {}, true},
        {"\"InactivityTime\" 0",
         [](TestBundle& f) {
             f.editSettings([](PropertyList& p) { p.setInteger(QStringLiteral("InactivityTime"), 0); });
         },
         true},
        {"an unreadable file (the lock's own settings let the password in)",
         [](TestBundle& f) { f.writeSettings("<plist><dict><key>Password"); }, true},
        {"no \"Password\" (nothing matches)",
         [](TestBundle& f) { f.editSettings([](PropertyList& p) { p.remove(QStringLiteral("Password")); }); }, false},
    };
    for (const auto& [name, change, unlocks] : cases) {
        editSettings([](PropertyList& p) {
            p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
            p.setInteger(QStringLiteral("InactivityTime"), 300);
            p.setInteger(QStringLiteral("RetryTime"), 5);
            p.setInteger(kRetryLeft, 3);
        });
        start({});
        lock();
        enter(QStringLiteral("wrong")); // 2 left, and a lock-out of 5 s
        QElapsedTimer sinceWrongEntry;
        sinceWrongEntry.start();
        ASSERT_TRUE(fakes.lockKeeper->state) << name;
        const QByteArray state = *fakes.lockKeeper->state;
        change(files);

        start({.resumedLock = state});
        EXPECT_TRUE(delegate().isCaptured()) << name << ": locked at launch, before any tick";
        EXPECT_TRUE(fakes.events->events.contains(QStringLiteral("keeper lock"))) << name;
        EXPECT_EQ(delegate().inactivityTimer(), nullptr) << name;
        EXPECT_FALSE(field().isEnabled()) << name << ": the lock-out goes on";
        ASSERT_NE(reenableTimer(), nullptr) << name;
        EXPECT_GT(reenableTimer()->remainingTime(), 4000) << name;
        EXPECT_LE(reenableTimer()->remainingTime(), 5000 - sinceWrongEntry.elapsed() + 1)
            << name << ": to its end, not anew";
        if (!files.settings().isNull()) {
            EXPECT_EQ(settings().integerValue(kRetryLeft), 2) << name;
        }
        delegate().enablePasswordTextbox();
        enter(QStringLiteral("pw"));
        EXPECT_EQ(delegate().isCaptured(), !unlocks) << name;
    }
}

TEST_F(PasswordEntryTest, TheLinesBelowTheFieldSayWhyItWaitsAndWhatTheNextWrongEntryDoes) {
    editSettings([](PropertyList& p) {
        p.setInteger(QStringLiteral("RetryCount"), 5);
        p.setInteger(kRetryLeft, 3);
    });
    lock();
    for (const char* line :
         {"waitingLabel", "wrongPasswordLabel", "lastAttemptLabel", "capsLockLabel", "shiftLockLabel", "layoutLabel"}) {
        EXPECT_FALSE(lineShown(line)) << line;
    }
    enter(QStringLiteral("wrong")); // 2 left
    EXPECT_TRUE(lineShown("wrongPasswordLabel"));
    EXPECT_FALSE(lineShown("lastAttemptLabel"));
    delegate().enablePasswordTextbox();
    EXPECT_FALSE(lineShown("wrongPasswordLabel"));
    enter(QStringLiteral("wrong")); // 1 left: the next one shuts down
    EXPECT_TRUE(lineShown("lastAttemptLabel"));
    delegate().unlockScreen();
    delegate().enablePasswordTextbox();

    // Both are known when the lock begins; the keyboard's state follows the keys.
    fakes.displays->keyboard = {.capsLock = true, .layout = QStringLiteral("English (US)"), .layouts = 1};
    lock();
    EXPECT_TRUE(lineShown("lastAttemptLabel"));
    EXPECT_TRUE(lineShown("capsLockLabel"));
    EXPECT_FALSE(lineShown("layoutLabel")) << "one layout, the one the lock began with";
    const struct {
        const char* name;
        KeyboardState keyboard;
        bool caps, shift, layout;
    } keys[] = {
        {"Caps Lock off", {.layout = QStringLiteral("English (US)"), .layouts = 1}, false, false, false},
        {"Shift locked by another program",
         {.shiftLock = true, .layout = QStringLiteral("English (US)"), .layouts = 1},
         false,
         true,
         false},
        {"the layout changed", {.layout = QStringLiteral("German"), .layouts = 1}, false, false, true},
        {"two layouts", {.layout = QStringLiteral("English (US)"), .layouts = 2}, false, false, true},
    };
    for (const auto& [name, keyboard, caps, shift, layout] : keys) {
        fakes.displays->keyboard = keyboard;
        QTest::keyClick(&field(), Qt::Key_Shift);
        EXPECT_EQ(lineShown("capsLockLabel"), caps) << name;
        EXPECT_EQ(lineShown("shiftLockLabel"), shift) << name;
        EXPECT_EQ(lineShown("layoutLabel"), layout) << name;
    }
    EXPECT_TRUE(window().findChild<QLabel*>(QStringLiteral("layoutLabel"))->text().contains(QStringLiteral("English")));
}

} // namespace
