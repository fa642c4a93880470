// Vessik in the desktop session: the sleep delay, the session's and other
// programs' requests, against fake logind and screen-saver services.
#include <QtCore/QDataStream>
#include <QtTest/QTest>

#include "unit/LockTestSupport.h"

namespace {

class SessionIntegrationTest : public LockedVessikTest {
protected:
    FakeSession& session() { return *fakes.session; }
    FakeScreenSaver& saver() { return *fakes.screenSaver; }
};

TEST_F(SessionIntegrationTest, ASleepGoesAheadOnlyOnceTheLockHoldsOrWhenTheDelayIsOver) {
    ASSERT_TRUE(session().inhibitorHeld) << "taken at start-up: a lock can be taken";
    fakes.displays->held = false; // the grabs are asked for, not granted yet
    bool heldAtRelease = false;
    session().onRelease = [&] { heldAtRelease = delegate().isCaptured() && fakes.displays->held; };

    session().handlers.prepareForSleep(true);
    EXPECT_TRUE(delegate().isCaptured());
    EXPECT_TRUE(session().inhibitorHeld) << "covered, but the input is not held yet";
    EXPECT_FALSE(saver().handlers.active());
    fakes.displays->setHeld(true);
    EXPECT_FALSE(session().inhibitorHeld);
    EXPECT_TRUE(heldAtRelease);
    EXPECT_EQ(session().lockedHint, true);
    EXPECT_EQ(saver().announced, QList<bool>{true});
    EXPECT_TRUE(saver().handlers.active());

    // Woken up while locked: a new inhibitor only once unlocked.
    session().handlers.prepareForSleep(false);
    EXPECT_FALSE(session().inhibitorHeld);
    fakes.displays->setHeld(false);
    delegate().unlockScreen();
    EXPECT_TRUE(session().inhibitorHeld);
    EXPECT_EQ(session().inhibitorsTaken, 2);
    EXPECT_EQ(session().lockedHint, false);
    EXPECT_EQ(saver().announced, (QList<bool>{true, false}));
    EXPECT_FALSE(saver().handlers.active());

    // The input never comes (another program keeps the keyboard): the sleep goes
    // ahead when the delay is over, and the log says so.
    session().handlers.prepareForSleep(true);
    ASSERT_TRUE(delegate().isCaptured());
    QTimer* delay = delegate().findChild<QTimer*>(QStringLiteral("sleepDelayTimer"));
    ASSERT_NE(delay, nullptr);
    EXPECT_TRUE(delay->isActive());
    EXPECT_EQ(delay->interval(), 5000);
    EXPECT_TRUE(session().inhibitorHeld);
    fakes.logLines->clear();
    delay->setInterval(0); // over now
    EXPECT_TRUE(QTest::qWaitFor([&] { return !session().inhibitorHeld; }, 1000));
    ASSERT_EQ(fakes.logLines->size(), 1);
    EXPECT_TRUE(fakes.logLines->first().contains(QStringLiteral("not locked within 5 s")));
    EXPECT_TRUE(delegate().isCaptured());
    EXPECT_EQ(saver().announced, (QList<bool>{true, false})) << "a lock that never held is not announced";
}

TEST_F(SessionIntegrationTest, TheInhibitorIsHeldExactlyWhileALockCouldBeTaken) {
    fakes.idle->nanoseconds = 0;
    struct Step {
        const char* name;
        std::function<void(PropertyList&)> edit;
        bool held;
    };
    const Step steps[] = {
        {"no password", [](PropertyList& p) { p.remove(QStringLiteral("Password")); }, false},
        {"a password again", [](PropertyList& p) { p.setString(QStringLiteral("Password"), QStringLiteral("pw")); },
         true},
        {"InactivityTime 0", [](PropertyList& p) { p.setInteger(QStringLiteral("InactivityTime"), 0); }, false},
        {"InactivityTime 60", [](PropertyList& p) { p.setInteger(QStringLiteral("InactivityTime"), 60); }, true},
    };
    for (const auto& [name, edit, held] : steps) {
        editSettings(edit);
        delegate().inactivityLock(); // the idle tick reads the file
        EXPECT_EQ(session().inhibitorHeld, held) << name;
    }
    EXPECT_EQ(session().inhibitorsTaken, 3);

    // Removed by hand just before a sleep: the lock is refused and the sleep need not wait.
    editSettings([](PropertyList& p) { p.remove(QStringLiteral("Password")); });
    session().handlers.prepareForSleep(true);
    EXPECT_FALSE(delegate().isCaptured());
    EXPECT_FALSE(session().inhibitorHeld);
}

TEST_F(SessionIntegrationTest, RequestsLockWhileTheIdleLockIsHeldOffAndNothingElseUnlocks) {
    saver().held = {FakeScreenSaver::player()};
    for (const auto& request : {session().handlers.lock, saver().handlers.lock}) {
        request();
        EXPECT_TRUE(delegate().isCaptured());
        fakes.displays->setHeld(true);
        // Another request, or the end of an inhibition, changes nothing.
        request();
        saver().setInhibited(false);
        EXPECT_TRUE(delegate().isCaptured());
        EXPECT_TRUE(delegate().lockHolds());
        fakes.displays->setHeld(false);
        delegate().unlockScreen();
        saver().held = {FakeScreenSaver::player()};
    }
    fakes.idle->nanoseconds = 42'500'000'000;
    EXPECT_EQ(saver().handlers.idleSeconds(), 42);
}

TEST(SessionIntegration, InhibitionsGoWithTheLocksStateWithinItsBoundAndAnOlderStateStillResumes) {
    PropertyList settings;
    settings.setString(QStringLiteral("Password"), QStringLiteral("pw"));
    LockSession session;
    session.begin(settings, true, false);
    // A program that piles up inhibitions with long texts: the state still fits
    // beside the largest settings file (64 KiB) in what the guard takes.
    const std::vector<ScreenSaverService::Inhibition> piled(
        1000, {7, QStringLiteral(":1.7"), QString(10000, u'a'), QString(10000, u'r')});
    const std::optional<LockSession::HandedOver> read = LockSession::readHandOver(session.handOver(piled));
    EXPECT_LT(session.handOver(piled).size(), 128 * 1024 - 64 * 1024);
    ASSERT_TRUE(read);
    ASSERT_FALSE(read->inhibitions.empty());
    EXPECT_EQ(read->inhibitions.front().owner, QStringLiteral(":1.7"));
    EXPECT_EQ(read->settings.stringValue(QStringLiteral("Password")), QStringLiteral("pw"));

    // What the guard of an older Vessik holds: no inhibitions, the lock all the same.
    QByteArray older;
    QDataStream out(&older, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out << quint32(1) << qint64(0) << settings.toXml(nullptr, PropertyList::XmlLayout::Compact);
    const std::optional<LockSession::HandedOver> resumed = LockSession::readHandOver(older);
    ASSERT_TRUE(resumed);
    EXPECT_TRUE(resumed->inhibitions.empty());
    EXPECT_EQ(resumed->settings.stringValue(QStringLiteral("Password")), QStringLiteral("pw"));
}

TEST(SessionIntegration, ASessionThatCannotBeLockedNeverLocksAndOffersNothing) {
    RunningVessik v;
    v.files.editSettings([](PropertyList& p) { p.setString(QStringLiteral("Password"), QStringLiteral("pw")); });
    v.start({.lockRefusal = QStringLiteral("a Wayland session")});
    v.fakes.idle->nanoseconds = 400'000'000'000;
    v.delegate().inactivityLock();
    v.delegate().lockScreen();
    EXPECT_FALSE(v.delegate().isCaptured());
    EXPECT_TRUE(v.fakes.events->events.isEmpty());
    EXPECT_FALSE(v.fakes.session->handlers.lock) << "logind is not listened to";
    EXPECT_FALSE(v.fakes.screenSaver->handlers.lock) << "the screen-saver service is not offered";
    EXPECT_EQ(v.fakes.session->inhibitorsTaken, 0);
}

} // namespace
