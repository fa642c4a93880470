#pragma once

// A running Vessik for the lock and password tests: the real interface (offscreen
// widgets) over a temporary bundle and fake platform services, started up and
// with settings that allow a lock.

#include <functional>
#include <gtest/gtest.h>
#include <memory>

#include <QtWidgets/QApplication>
#include <QtWidgets/QLineEdit>

#include "MainInterface.h"
#include "OverrideWindow.h"
#include "VessikAppDelegate.h"
#include "fakes/FakePlatform.h"
#include "fakes/TestBundle.h"

class LockedVessikTest : public ::testing::Test {
protected:
    TestBundle files;
    FakePlatform fakes;
    std::unique_ptr<MainInterface> app;

    void SetUp() override {
        editSettings([](PropertyList& p) {
            p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
            p.setInteger(QStringLiteral("RetryTime"), 5);
        });
        start();
    }

    // (Re)starts the program on the current settings file.
    void start() {
        app.reset();
        FakePlatform fresh;
        fakes = fresh;
        app = std::make_unique<MainInterface>(files.bundle(), fakes.take());
        delegate().applicationDidFinishLaunching();
    }

    VessikAppDelegate& delegate() { return app->delegate(); }
    OverrideWindow& window() { return app->lockWindow(); }
    QLineEdit& field() { return *delegate().passwordTextbox(); }

    PropertyList settings() { return files.settings(); }
    void editSettings(const std::function<void(PropertyList&)>& edit) { files.editSettings(edit); }

    // Locks and forgets what the lock did to the fakes.
    void lock() {
        delegate().lockScreen();
        ASSERT_TRUE(delegate().isCaptured());
        QApplication::processEvents();
        fakes.events->events.clear();
    }
};
