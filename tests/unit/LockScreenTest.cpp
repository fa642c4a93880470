// Locking and unlocking with real widgets and fake displays.
#include <sys/stat.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QTemporaryDir>
#include <QtGui/QClipboard>
#include <QtGui/QImage>
#include <QtGui/QInputMethodEvent>
#include <QtGui/QScreen>
#include <QtTest/QTest>
#include <QtWidgets/QDialog>
#include <QtWidgets/QLabel>

#include "unit/LockTestSupport.h"

namespace {

using LockScreenTest = LockedVessikTest;

TEST_F(LockScreenTest, RefusedLocksChangeNothing) {
    const std::pair<const char*, std::function<void(PropertyList&)>> cases[] = {
        {"no password", [](PropertyList& p) { p.remove(QStringLiteral("Password")); }},
        {"inactivity 0", [](PropertyList& p) { p.setInteger(QStringLiteral("InactivityTime"), 0); }},
        {"inactivity text without a number",
         [](PropertyList& p) { p.setString(QStringLiteral("InactivityTime"), QStringLiteral("never")); }},
    };
    for (const auto& [name, edit] : cases) {
        editSettings(edit);
        restart();
        QTimer* timer = delegate().inactivityTimer();
        delegate().lockScreen();
        EXPECT_FALSE(delegate().isCaptured()) << name;
        EXPECT_TRUE(fakes.events->events.isEmpty()) << name;
        EXPECT_EQ(delegate().inactivityTimer(), timer) << name;
        EXPECT_TRUE(timer->isActive()) << name;
        EXPECT_FALSE(window().isVisible()) << name;
        editSettings([](PropertyList& p) {
            p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
            p.setInteger(QStringLiteral("InactivityTime"), 300);
        });
    }
    files.writeSettings("not a property list");
    delegate().lockScreen();
    EXPECT_FALSE(delegate().isCaptured()) << "an unreadable file has no password";
}

TEST_F(LockScreenTest, ALockCapturesEveryDisplayThenShowsTheWindowAboveThem) {
    field().setText(QStringLiteral("left over"));
    delegate().lockScreen();
    // The keeper of the lock gets its state once the screen is covered.
    EXPECT_EQ(fakes.events->events,
              QStringList({QStringLiteral("list 100"), QStringLiteral("capture 0"), QStringLiteral("capture 1"),
                           QStringLiteral("keeper lock"), QStringLiteral("raise")}));
    EXPECT_EQ(fakes.displays->raised, &window());
    EXPECT_TRUE(fakes.displays->raisedWhileVisible);
    EXPECT_TRUE(delegate().isCaptured());
    EXPECT_EQ(window().geometry(), window().screen()->geometry());
    EXPECT_TRUE(field().text().isEmpty());
    QApplication::processEvents(); // the window's activation
    EXPECT_EQ(QApplication::focusWidget(), &field());
}

TEST_F(LockScreenTest, ASecondLockRequestChangesNothing) {
    lock();
    field().setText(QStringLiteral("half typed"));
    delegate().lockScreen();
    EXPECT_TRUE(fakes.events->events.isEmpty());
    EXPECT_EQ(field().text(), QStringLiteral("half typed"));
}

TEST_F(LockScreenTest, UnlockHidesAndReleasesEveryDisplayAndKeepsNothingOfTheLock) {
    lock();
    bool hiddenAtRelease = true;
    fakes.displays->onRelease = [&] { hiddenAtRelease = hiddenAtRelease && !window().isVisible(); };
    delegate().unlockScreen();
    // The keeper lets go before the displays are released.
    EXPECT_EQ(fakes.events->events, QStringList({QStringLiteral("keeper end"), QStringLiteral("list 100"),
                                                 QStringLiteral("release 0"), QStringLiteral("release 1")}));
    EXPECT_TRUE(hiddenAtRelease);
    EXPECT_FALSE(delegate().isCaptured());
    // Nothing of the lock is kept while unlocked.
    EXPECT_TRUE(delegate().backgroundImage()->pixmap().isNull());
    EXPECT_EQ(window().internalWinId(), 0U);
}

TEST_F(LockScreenTest, NoIdleCheckRunsWhileLockedAndTheFirstComesASecondAfterTheUnlock) {
    fakes.idle->nanoseconds = 400'000'000'000; // long past "InactivityTime"
    lock();
    fakes.idle->reads = 0;
    QTest::qWait(1300);
    EXPECT_EQ(fakes.idle->reads, 0) << "the idle watcher is stopped while locked";

    delegate().unlockScreen();
    QElapsedTimer sinceUnlock;
    sinceUnlock.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate().isCaptured(); }, 5000)) << "the idle lock comes back";
    EXPECT_GE(sinceUnlock.elapsed(), 950) << "its first check comes a second after the unlock";
    EXPECT_EQ(fakes.idle->reads, 1) << "one check, one watcher";
}

TEST_F(LockScreenTest, TheBackgroundIsTheChosenPictureDecodedAtTheWindowsSize) {
    QTemporaryDir dir;
    const QString picture = dir.filePath(QStringLiteral("mine.png"));
    const QString broken = dir.filePath(QStringLiteral("broken.png"));
    QImage red(300, 100, QImage::Format_RGB32); // another aspect ratio than the screen's
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(picture));
    QFile f(broken);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\x89PNG but not really");
    f.close();
    const QString fifo = dir.filePath(QStringLiteral("fifo.png"));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);

    enum Shown { BuiltIn, File, None };
    const std::tuple<const char*, std::optional<std::int64_t>, std::optional<QString>, Shown> cases[] = {
        {"type absent", std::nullopt, picture, BuiltIn},
        {"type 0", 0, picture, BuiltIn},
        {"type 2", 2, picture, BuiltIn},
        {"type 1", 1, picture, File},
        {"type 1, missing file", 1, dir.filePath(QStringLiteral("gone.png")), None},
        {"type 1, not a picture", 1, broken, None},
        {"type 1, a FIFO (reading it would block)", 1, fifo, None},
        {"type 1, no path", 1, std::nullopt, None},
    };
    for (const auto& [name, type, path, shown] : cases) {
        editSettings([&type = type, &path = path](PropertyList& p) {
            type ? p.setInteger(QStringLiteral("ImageType"), *type) : p.remove(QStringLiteral("ImageType"));
            path ? p.setString(QStringLiteral("ImagePath"), *path) : p.remove(QStringLiteral("ImagePath"));
        });
        delegate().lockScreen();
        ASSERT_TRUE(delegate().isCaptured()) << name << ": a picture never stops a lock";
        const QPixmap pixmap = delegate().backgroundImage()->pixmap();
        if (shown == None) {
            EXPECT_TRUE(pixmap.isNull()) << name;
        } else {
            ASSERT_FALSE(pixmap.isNull()) << name;
            EXPECT_EQ(pixmap.deviceIndependentSize().toSize(), window().size()) << name;
            const bool isRed = pixmap.toImage().pixelColor(pixmap.width() / 2, pixmap.height() / 2) == QColor(Qt::red);
            EXPECT_EQ(isRed, shown == File) << name;
        }
        delegate().unlockScreen();
    }

    // The file is read again at every lock.
    QImage green(300, 100, QImage::Format_RGB32);
    green.fill(Qt::green);
    ASSERT_TRUE(green.save(picture));
    editSettings([&](PropertyList& p) {
        p.setInteger(QStringLiteral("ImageType"), 1);
        p.setString(QStringLiteral("ImagePath"), picture);
    });
    delegate().lockScreen();
    const QImage shown = delegate().backgroundImage()->pixmap().toImage();
    EXPECT_EQ(shown.pixelColor(shown.width() / 2, shown.height() / 2), QColor(Qt::green));
}

TEST_F(LockScreenTest, TypingReachesTheFieldThoughAModalDialogWasOpen) {
    QDialog dialog;
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
    QApplication::processEvents();
    lock();
    // Through the window system, where a blocked window drops its keys.
    QTest::keyClick(window().windowHandle(), 'p');
    QTest::keyClick(window().windowHandle(), 'w');
    EXPECT_EQ(field().text(), QStringLiteral("pw"));
}

TEST_F(LockScreenTest, TheFieldTakesTypedKeysOnly) {
    QGuiApplication::clipboard()->setText(QStringLiteral("pw"));
    lock();
    const std::pair<const char*, std::function<void()>> ways[] = {
        {"Ctrl+V", [&] { QTest::keyClick(&field(), Qt::Key_V, Qt::ControlModifier); }},
        {"Shift+Insert", [&] { QTest::keyClick(&field(), Qt::Key_Insert, Qt::ShiftModifier); }},
        {"an input method committing a word",
         [&] {
             QInputMethodEvent commit;
             commit.setCommitString(QStringLiteral("pw"));
             QApplication::sendEvent(&field(), &commit);
         }},
    };
    for (const auto& [name, put] : ways) {
        field().clear();
        put();
        EXPECT_TRUE(field().text().isEmpty()) << name;
    }
    // Typing, a composed character included, still works.
    QTest::keyClicks(&field(), QStringLiteral("p"));
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("\u00e9"));
    QApplication::sendEvent(&field(), &composed);
    EXPECT_EQ(field().text(), QStringLiteral("p\u00e9"));
}

TEST_F(LockScreenTest, TheWindowStaysWhenAskedToClose) {
    lock();
    EXPECT_FALSE(window().close());
    EXPECT_TRUE(window().isVisible());
    delegate().unlockScreen();
    EXPECT_FALSE(window().isVisible());
}

TEST_F(LockScreenTest, TheFieldWaitsForTheKeyboardAndThePointer) {
    fakes.displays->held = false; // another client holds the keyboard when the lock begins
    lock();
    EXPECT_FALSE(field().isEnabled());
    EXPECT_TRUE(lineShown("waitingLabel"));
    // A wrong entry's lock-out that ends meanwhile does not make the field usable.
    delegate().enablePasswordTextbox();
    EXPECT_FALSE(field().isEnabled());

    fakes.displays->setHeld(true);
    EXPECT_TRUE(field().isEnabled());
    EXPECT_FALSE(lineShown("waitingLabel"));
    EXPECT_EQ(QApplication::focusWidget(), &field());
    fakes.displays->setHeld(false); // a grab lost mid-lock
    EXPECT_FALSE(field().isEnabled());
    EXPECT_TRUE(lineShown("waitingLabel"));
    delegate().unlockScreen();
    EXPECT_FALSE(lineShown("waitingLabel")) << "the next lock starts without it";

    // Without a display to capture (no X11 session) no input is taken: nothing to wait for.
    fakes.displays->displays.clear();
    lock();
    EXPECT_TRUE(field().isEnabled());
    EXPECT_FALSE(lineShown("waitingLabel"));
}

} // namespace
