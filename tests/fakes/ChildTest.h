#pragma once

#include <gtest/gtest.h>
#include <utility>
#include <vector>

#include <QtCore/QProcess>
#include <QtCore/QString>

// One test of this test program run again in a child process, for what must
// not happen in the test process itself: a disk that fills up, a writer killed
// mid-write. The test is named DISABLED_ so that only such a run reaches it.
struct ChildTest {
    const char* name; // "Suite.Test", run although disabled
    // Added to this process's environment for the child.
    std::vector<std::pair<QString, QString>> environment{};
    // When set: the child runs in a mount namespace of its own, where a tmpfs of
    // `tinyDiskSize` ("64k", "1m") is mounted on this existing directory.
    QString tinyDisk{};
    const char* tinyDiskSize = nullptr;
};

// Starts `test` in `child`, its output merged into one channel.
void startChildTest(QProcess& child, const ChildTest& test);

// Runs `test` to its end (a minute at most): success when it exits 0 having
// passed its one test; otherwise a failure that carries the child's output.
::testing::AssertionResult runChildTest(const ChildTest& test);

// In the child: the tiny disk's directory; empty outside such a run.
QString childTestTinyDisk();
