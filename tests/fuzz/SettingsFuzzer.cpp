// libFuzzer target for the settings reader: the bytes of a settings file go
// through readPlist, every reader's use of the loaded dictionary (the integer
// rule, strings, the hotkeys, the lock's guards) and the password entry's
// write-back. Besides the sanitizers' checks, it aborts when the write-back
// leaves a file that the reader refuses or whose values changed.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLineEdit>

#include "SettingsKeys.h"
#include "VessikAppDelegate.h"
#include "fakes/FakePlatform.h"

namespace {

// A bundle on a memory file system where there is one: the write-back syncs,
// which a disk makes slow.
QString bundleTemplate() {
    const QString shm = QStringLiteral("/dev/shm");
    return (QFileInfo(shm).isDir() ? shm : QDir::tempPath()) + QStringLiteral("/vessik-fuzz-XXXXXX");
}

struct World {
    QTemporaryDir dir{bundleTemplate()};
    QString settingsPath;
    std::unique_ptr<QLineEdit> field;
};

World* world = nullptr;

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::abort();
    }
}

// Everything a reader of the settings does with the loaded dictionary.
void readEverything(const PropertyList& p) {
    for (const SettingKey& key : SettingsKeys::kAll) {
        (void)p.integerValue(key);
        (void)p.stringValue(key);
    }
    const QStringList keys = p.keys();
    for (const QString& key : keys) {
        (void)p.integerValue(key);
        (void)p.valueEquals(key, p, key);
    }
    (void)VessikAppDelegate::keyCodeForKeyString(p.stringValue(SettingsKeys::LockHotKey.func));
    (void)VessikAppDelegate::keyCodeForKeyString(p.stringValue(SettingsKeys::OffHotKey.func));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    std::setlocale(LC_NUMERIC, "C");
    world = new World; // for the whole run
    if (!world->dir.isValid() || !QDir().mkpath(world->dir.filePath(QStringLiteral("Resources")))) {
        std::abort();
    }
    world->settingsPath = world->dir.filePath(QStringLiteral("Resources/Settings.plist"));
    world->field = std::make_unique<QLineEdit>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    writeFile(world->settingsPath, bytes);

    FakePlatform fakes;
    VessikAppDelegate delegate(Bundle(world->dir.path()), fakes.take());
    delegate.readPlist(kSettingsResource);
    const PropertyList loaded = delegate.properties();
    if (loaded.isNull()) {
        return 0;
    }
    readEverything(loaded);
    delegate.initHotKeys();
    delegate.lockScreen();

    // A wrong entry counts down and writes the dictionary back.
    world->field->setText(QStringLiteral("\x01 not the password"));
    delegate.passwordTextbox(world->field.get());

    if (readFile(world->settingsPath) == bytes) {
        return 0; // not written (or refused): the file is as it was
    }
    delegate.readPlist(kSettingsResource);
    const PropertyList& back = delegate.properties();
    if (back.isNull()) {
        std::abort(); // written back into a file that the reader refuses
    }
    for (const QString& key : loaded.keys()) {
        if (key != QString(SettingsKeys::RetryLeft) && loaded.contains(key) && !back.valueEquals(key, loaded, key)) {
            std::abort(); // a value changed on the way
        }
    }
    return 0;
}
