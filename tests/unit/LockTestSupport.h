#pragma once

// A running Vessik for the lock and password tests: the real interface (offscreen
// widgets) over a temporary bundle and fake platform services, launched with
// settings that allow a lock.

#include <functional>
#include <gtest/gtest.h>

#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>

#include "OverrideWindow.h"
#include "fakes/RunningVessik.h"

class LockedVessikTest : public ::testing::Test, protected RunningVessik {
protected:
    void SetUp() override {
        editSettings([](PropertyList& p) {
            p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
            p.setInteger(QStringLiteral("RetryTime"), 5);
        });
        start({.upTo = Launched});
    }

    OverrideWindow& window() { return ui().lockWindow(); }
    QLineEdit& field() { return *delegate().passwordTextbox(); }
    // Whether the line of text below the field with that object name is shown.
    bool lineShown(const char* name) {
        const auto* line = window().findChild<QLabel*>(QString::fromLatin1(name));
        return line != nullptr && !line->isHidden();
    }

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
