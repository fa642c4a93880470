#include "fakes/ChildTest.h"

#include <QtCore/QCoreApplication>

namespace {

constexpr char kTinyDiskVariable[] = "VESSIK_TEST_TINY_DISK";

// Run as `sh -c kMountTinyDisk sh SIZE DIRECTORY PROGRAM ARGUMENTS...` in the
// child's new mount namespace: mounts the disk, then becomes the test program.
// The mount ends with the namespace and is never seen outside it.
constexpr char kMountTinyDisk[] = R"(mount -t tmpfs -o "size=$1" vessik-tiny-disk "$2" && shift 2 && exec "$@")";

} // namespace

void startChildTest(QProcess& child, const ChildTest& test) {
    QString program = QCoreApplication::applicationFilePath();
    QStringList arguments{QStringLiteral("--gtest_also_run_disabled_tests"),
                          QStringLiteral("--gtest_filter=") + QLatin1String(test.name)};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : test.environment) {
        environment.insert(name, value);
    }
    if (!test.tinyDisk.isEmpty()) {
        environment.insert(QString::fromLatin1(kTinyDiskVariable), test.tinyDisk);
        arguments = QStringList{QStringLiteral("--mount"),
                                QStringLiteral("--propagation"),
                                QStringLiteral("private"),
                                QStringLiteral("/bin/sh"),
                                QStringLiteral("-c"),
                                QString::fromLatin1(kMountTinyDisk),
                                QStringLiteral("sh"),
                                QString::fromLatin1(test.tinyDiskSize),
                                test.tinyDisk,
                                program} +
                    arguments;
        program = QStringLiteral("unshare");
    }
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, arguments);
}

::testing::AssertionResult runChildTest(const ChildTest& test) {
    QProcess child;
    startChildTest(child, test);
    if (!child.waitForFinished(60000)) {
        return ::testing::AssertionFailure() << test.name << " did not end within a minute";
    }
    const QByteArray output = child.readAll();
    if (child.exitCode() != 0 || !output.contains("[  PASSED  ] 1 test")) {
        return ::testing::AssertionFailure() << test.name << " failed (exit code " << child.exitCode() << "):\n"
                                             << output.toStdString();
    }
    return ::testing::AssertionSuccess();
}

QString childTestTinyDisk() {
    return qEnvironmentVariable(kTinyDiskVariable);
}
