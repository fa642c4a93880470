// Start-up of the shell: what runs, in which order, and what it builds.
#include <gtest/gtest.h>

#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QWidget>

#include "fakes/RunningVessik.h"

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

} // namespace
