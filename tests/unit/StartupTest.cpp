// Start-up of the shell: what runs, in which order, and what it builds.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QWidget>

#include "fakes/RunningVessik.h"
#include "platform/linux/LinuxSingleInstance.h"

namespace {

TEST(Startup, FinishesWithTimerAndHotkeysAndWithoutACaptureEvenWithoutSettings) {
    RunningVessik v;
    v.files.writeSettings("not a property list");
    v.start({.upTo = RunningVessik::Awake});
    VessikAppDelegate& d = v.delegate();
    const FakePlatform& fakes = v.fakes;
    EXPECT_EQ(selfC, &d);
    d.applicationDidFinishLaunching();
    EXPECT_FALSE(d.isCaptured());
    ASSERT_NE(d.inactivityTimer(), nullptr);
    EXPECT_TRUE(d.inactivityTimer()->isActive());
    EXPECT_EQ(d.inactivityTimer()->interval(), 1000);
    // Both hotkeys are registered from the unreadable settings: the bare key of code 0.
    ASSERT_EQ(fakes.hotKeys->live->size(), 2u);
    for (std::uint32_t id : {1u, 2u}) {
        const auto& reg = *(*fakes.hotKeys->live)[id - 1];
        EXPECT_EQ(reg.keyCode, 0);
        EXPECT_EQ(reg.modifiers, 0u);
        EXPECT_EQ(reg.id.id, id);
    }
    EXPECT_GE(fakes.logLines->size(), 2) << "initSettings and initHotKeys each logged their failed load";
}

TEST(Startup, TheProgramBuildsTheSettingsWindowWhenItIsFirstOpened) {
    // Launching fills nothing: there is no form yet.
    RunningVessik v(
        {.upTo = RunningVessik::Launched, .settingsWindow = MainInterface::SettingsWindowCreation::OnFirstOpen});
    VessikAppDelegate& d = v.delegate();
    EXPECT_EQ(d.settingsWindow(), nullptr);
    EXPECT_EQ(d.lockDropdown(), nullptr);

    d.settingsButton(nullptr);
    ASSERT_NE(d.settingsWindow(), nullptr);
    EXPECT_TRUE(d.settingsWindow()->isVisible());
    ASSERT_NE(d.lockDropdown(), nullptr);
    EXPECT_EQ(d.lockDropdown()->currentText(), QStringLiteral("L")) << "filled from the settings file";
    EXPECT_EQ(d.inactivityTextbox()->text(), QStringLiteral("300"));

    QWidget* first = d.settingsWindow();
    d.settingsButton(nullptr);
    EXPECT_EQ(d.settingsWindow(), first) << "built once, then reused";
}

TEST(Startup, ASecondVessikOpensTheSettingsWindowExceptDuringALock) {
    RunningVessik v({.upTo = RunningVessik::Launched});
    VessikAppDelegate& d = v.delegate();
    v.files.editSettings([](PropertyList& p) { p.setString(QStringLiteral("Password"), QStringLiteral("pw")); });
    d.lockScreen();
    ASSERT_TRUE(d.isCaptured());
    v.fakes.instance->request(SingleInstance::Request::Settings);
    EXPECT_FALSE(d.settingsWindow()->isVisible());
    d.unlockScreen();
    v.fakes.instance->request(SingleInstance::Request::Settings);
    EXPECT_TRUE(d.settingsWindow()->isVisible());
}

TEST(SingleInstance, OneVessikPerDisplayAndALaterOneAsksItForTheSettingsWindow) {
    QTemporaryDir runtime;
    const QString folder = runtime.filePath(QStringLiteral("vessik"));
    auto first = std::make_unique<LinuxSingleInstance>(folder);
    int requests = 0;
    first->setRequestCallback([&requests](SingleInstance::Request request, auto) {
        EXPECT_EQ(request, SingleInstance::Request::Settings);
        ++requests;
    });
    QString why;
    ASSERT_EQ(first->claim(QStringLiteral(":7"), &why), SingleInstance::Claim::Claimed) << why.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The same display under other names: a second one asks the first and stands back.
    for (const char* same : {":7", ":7.0", "unix:7.1"}) {
        const int before = requests;
        LinuxSingleInstance second(folder);
        EXPECT_EQ(second.claim(QString::fromLatin1(same), &why), SingleInstance::Claim::Running) << same;
        EXPECT_TRUE(why.contains(QStringLiteral("asked it to open its settings window"))) << why.toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return requests > before; }, 5000)) << same;
    }
    // Other displays, and other users (whose folders differ), are independent.
    LinuxSingleInstance otherDisplay(folder);
    EXPECT_EQ(otherDisplay.claim(QStringLiteral(":8"), &why), SingleInstance::Claim::Claimed);
    LinuxSingleInstance otherUser(runtime.filePath(QStringLiteral("other")));
    EXPECT_EQ(otherUser.claim(QStringLiteral(":7"), &why), SingleInstance::Claim::Claimed);

    // A Vessik that ends, however it ends, leaves the display free.
    first.reset();
    LinuxSingleInstance next(folder);
    EXPECT_EQ(next.claim(QStringLiteral(":7"), &why), SingleInstance::Claim::Claimed);
}

TEST(SingleInstance, AFolderThatOthersMayEnterIsNotTrustedAndVessikRunsAnyway) {
    QTemporaryDir runtime;
    const QString open = runtime.filePath(QStringLiteral("open"));
    const QString foreign = runtime.filePath(QStringLiteral("foreign"));
    ASSERT_TRUE(QDir().mkdir(open));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
    ASSERT_TRUE(QDir().mkdir(foreign));
    ASSERT_EQ(::chmod(QFile::encodeName(foreign).constData(), 0700), 0);
    ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0); // another user's
    for (const QString& folder : {open, foreign}) {
        QString why;
        LinuxSingleInstance instance(folder);
        EXPECT_EQ(instance.claim(QStringLiteral(":7"), &why), SingleInstance::Claim::Unchecked);
        EXPECT_TRUE(why.contains(QStringLiteral("starting anyway"))) << why.toStdString();
        EXPECT_FALSE(QFile::exists(folder + QStringLiteral("/display-local-7.lock")));
    }
}

} // namespace
