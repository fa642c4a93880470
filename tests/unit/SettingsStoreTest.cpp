// The settings store on real files in a temporary bundle.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QProcess>

#include "MainInterface.h"
#include "SettingsKeys.h"
#include "VessikAppDelegate.h"
#include "fakes/ChildTest.h"
#include "fakes/FakePlatform.h"
#include "fakes/RunningVessik.h"
#include "fakes/TestBundle.h"

namespace {

const QString kSettings = QStringLiteral("Settings");

using PlistXml::document;

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (const int v : values) {
        out.append(static_cast<char>(v));
    }
    return out;
}

// A binary property list of `objects` (each a marker and its contents, references
// one byte long), whose root is the object numbered `root`.
QByteArray binaryPlist(const std::vector<QByteArray>& objects, int root) {
    QByteArray out("bplist00");
    QByteArray table;
    for (const QByteArray& object : objects) {
        table.append(bytes({static_cast<int>(out.size() >> 8), static_cast<int>(out.size() & 0xff)}));
        out.append(object);
    }
    const auto tableAt = static_cast<std::uint64_t>(out.size());
    out.append(table);
    QByteArray trailer(32, '\0');
    trailer[6] = 2; // offset size
    trailer[7] = 1; // reference size
    for (int i = 0; i < 8; ++i) {
        trailer[8 + i] = static_cast<char>(static_cast<std::uint64_t>(objects.size()) >> (56 - 8 * i));
        trailer[16 + i] = static_cast<char>(static_cast<std::uint64_t>(root) >> (56 - 8 * i));
        trailer[24 + i] = static_cast<char>(tableAt >> (56 - 8 * i));
    }
    return out + trailer;
}

// A few hundred bytes: a dictionary whose value is an array that refers twice to
// the next array, `depth` levels deep, above the integer 1. Every reference
// unfolds into a copy: 2^depth values.
QByteArray doublingBinary(int depth) {
    std::vector<QByteArray> objects;
    for (int i = 0; i < depth; ++i) {
        objects.push_back(bytes({0xa2, i + 1, i + 1}));
    }
    objects.push_back(bytes({0x10, 1}));
    const int key = static_cast<int>(objects.size());
    objects.push_back(bytes({0x51, 'k'}));
    objects.push_back(bytes({0xd1, key, 0}));
    return binaryPlist(objects, key + 1);
}

class SettingsStoreTest : public ::testing::Test {
protected:
    TestBundle files;
    FakePlatform fakes;
    VessikAppDelegate delegate{files.bundle(), fakes.take()};

    PropertyList load() {
        delegate.readPlist(kSettings);
        return delegate.properties();
    }
};

// The shipped file holds exactly the shipped keys of the settings table, in its
// order, each with the table's kind and value.
TEST_F(SettingsStoreTest, TheShippedFileIsTheSettingsTable) {
    const PropertyList file = load();
    ASSERT_FALSE(file.isNull());
    PropertyList shipped = PropertyList::dictionary();
    for (const SettingKey& key : SettingsKeys::kAll) {
        if (key.shipped && key.kind == SettingKind::Integer) {
            shipped.setInteger(key, key.shippedInteger);
        } else if (key.shipped) {
            shipped.setString(key, key.shippedText);
        }
    }
    EXPECT_EQ(file.keys(), shipped.keys());
    for (const QString& key : shipped.keys()) {
        EXPECT_TRUE(file.valueEquals(key, shipped, key)) << key.toStdString();
    }
    EXPECT_FALSE(file.contains(SettingsKeys::Password)); // nothing locks before a password is set
    EXPECT_EQ(SettingsKeys::RetryLeft.shippedInteger, SettingsKeys::RetryCount.shippedInteger);
    EXPECT_TRUE(fakes.logLines->isEmpty());
}

TEST_F(SettingsStoreTest, EveryKindOfValueSurvivesAWriteBack) {
    files.writeSettings(document(R"(<dict>
  <key>Password</key><string>s3cret &amp; &lt;more&gt; ünïcode</string>
  <key>RetryLeft</key><integer>-3</integer>
  <key>Big</key><integer>9223372036854775807</integer>
  <key>When</key><date>2020-01-02T03:04:05Z</date>
  <key>Blob</key><data>AAEC/w==</data>
  <key>List</key><array><string>a</string><integer>1</integer></array>
  <key>Nested</key><dict><key>x</key><real>0.85</real></dict>
  <key>Ratio</key><real>0.85</real>
  <key>Flag</key><true/>
</dict>)"));
    PropertyList p = load();
    ASSERT_FALSE(p.isNull());
    p.setInteger(QStringLiteral("RetryLeft"), -4);
    ASSERT_TRUE(delegate.writePlist(p, kSettings));

    const PropertyList back = load();
    EXPECT_EQ(back.keys(), p.keys()); // order kept, the replaced key in its place
    EXPECT_EQ(back.stringValue(QStringLiteral("Password")), QStringLiteral("s3cret & <more> ünïcode"));
    EXPECT_EQ(back.integerValue(QStringLiteral("RetryLeft")), -4);
    EXPECT_EQ(back.integerValue(QStringLiteral("Big")), INT64_MAX);
    for (const char* key : {"When", "Blob", "List", "Nested", "Ratio", "Flag"}) {
        EXPECT_TRUE(back.valueEquals(QString::fromLatin1(key), p, QString::fromLatin1(key))) << key;
    }
    const QByteArray xml = files.readSettings();
    EXPECT_TRUE(xml.contains("<real>0.8")); // written with full precision
    EXPECT_TRUE(xml.contains("<date>2020-01-02T03:04:05Z</date>"));
    EXPECT_TRUE(xml.contains("<true/>"));
}

TEST_F(SettingsStoreTest, IntegerValueFollowsOneRuleForEveryKind) {
    files.writeSettings(document(R"(<dict>
  <key>int</key><integer>30</integer>
  <key>neg</key><integer>-7</integer>
  <key>text</key><string>30</string>
  <key>spaced</key><string>  	-12abc</string>
  <key>plus</key><string>+5</string>
  <key>octalish</key><string>010</string>
  <key>words</key><string>abc</string>
  <key>empty</key><string></string>
  <key>huge</key><string>99999999999999999999</string>
  <key>hugeneg</key><string>-99999999999999999999</string>
  <key>real</key><real>4.9</real>
  <key>bool</key><true/>
</dict>)"));
    const PropertyList p = load();
    const std::pair<const char*, std::int64_t> cases[] = {
        {"int", 30},      {"neg", -7},  {"text", 30},   {"spaced", -12},     {"plus", 5},
        {"octalish", 10}, {"words", 0}, {"empty", 0},   {"huge", INT64_MAX}, {"hugeneg", INT64_MIN},
        {"real", 0},      {"bool", 0},  {"missing", 0},
    };
    for (const auto& [key, expected] : cases) {
        EXPECT_EQ(p.integerValue(QString::fromLatin1(key)), expected) << key;
    }
    EXPECT_EQ(PropertyList().integerValue(QStringLiteral("int")), 0); // a failed load: every key missing
}

TEST_F(SettingsStoreTest, BinaryIsReadAndTheNextWriteIsXml) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "InactivityTime", plist_new_uint(42));
    plist_dict_set_item(dict, "Password", plist_new_string("pw"));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    files.writeSettings(QByteArray(bin, static_cast<qsizetype>(length)));
    plist_to_bin_free(bin);
    plist_free(dict);

    const PropertyList p = load();
    ASSERT_FALSE(p.isNull());
    EXPECT_EQ(p.integerValue(QStringLiteral("InactivityTime")), 42);
    ASSERT_TRUE(delegate.writePlist(p, kSettings));
    const QByteArray xml = files.readSettings();
    EXPECT_TRUE(xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    EXPECT_TRUE(xml.contains("<plist version=\"1.0\">"));
    EXPECT_TRUE(xml.contains("<key>Password</key>"));
}

TEST_F(SettingsStoreTest, WhatIsReadIsWrittenBackWithinWhatIsReadAndMeansTheSame) {
    // Nested about 4000 deep in 60 KiB: indented line by line it would take 16 MB.
    const int depth = 4000;
    const QByteArray nested =
        document("<dict><key>Password</key><string>pw</string><key>Deep</key>" + QByteArray("<array>").repeated(depth) +
                 QByteArray("</array>").repeated(depth) + "</dict>");
    // A binary file whose many small values take far more room as XML.
    plist_t dict = plist_new_dict();
    plist_t many = plist_new_array();
    for (int i = 0; i < 12000; ++i) {
        plist_array_append_item(many, plist_new_uint(1));
    }
    plist_dict_set_item(dict, "Many", many);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    const QByteArray grows(bin, static_cast<qsizetype>(length));
    plist_to_bin_free(bin);
    plist_free(dict);

    const std::tuple<const char*, QByteArray, bool> cases[] = {
        {"deeply nested", nested, true},
        {"binary, larger as XML", grows, false},
        // Binary only, what XML cannot hold: {Password: a, Password: b}.
        {"binary, \"Password\" twice",
         binaryPlist({bytes({0xd2, 1, 1, 2, 3}), QByteArray("\x58Password"), bytes({0x51, 'a'}), bytes({0x51, 'b'})},
                     0),
         true},
    };
    for (const auto& [name, content, written] : cases) {
        ASSERT_LE(content.size(), 64 * 1024) << name;
        files.writeSettings(content);
        fakes.logLines->clear();
        PropertyList p = load();
        ASSERT_FALSE(p.isNull()) << name;
        const PropertyList before = p;
        p.setInteger(QStringLiteral("RetryLeft"), 4);
        EXPECT_EQ(delegate.writePlist(p, kSettings), written) << name;
        const PropertyList back = load();
        ASSERT_FALSE(back.isNull()) << name << ": the file stays readable";
        if (written) {
            EXPECT_EQ(back.integerValue(QStringLiteral("RetryLeft")), 4) << name;
            for (const QString& key : before.keys()) {
                EXPECT_TRUE(back.valueEquals(key, before, key)) << name << ": " << key.toStdString();
            }
        } else {
            EXPECT_EQ(files.readSettings(), content) << name << ": left as it was";
            ASSERT_EQ(fakes.logLines->size(), 1) << name;
            EXPECT_TRUE(fakes.logLines->first().startsWith(QStringLiteral("Cannot write settings file '")))
                << fakes.logLines->first().toStdString();
        }
    }
}

TEST_F(SettingsStoreTest, BadFilesLoadAsNothingWithOneLogLineEach) {
    const QByteArray huge = document("<dict><key>k</key><string>") + QByteArray(70 * 1024, 'x') + "</string></dict>";
    const std::pair<const char*, QByteArray> cases[] = {
        {"garbage", QByteArray("this is not a property list")},
        {"empty", QByteArray()},
        {"truncated", document("<dict><key>Password</key><string>pw").left(60)},
        {"array root", document("<array><string>x</string></array>")},
        {"string root", document("<string>x</string>")},
        {"huge", huge},
        {"a binary file that unfolds into 2^40 values", doublingBinary(40)},
        // A NUL changes with a write-back, and in a key it made walking the dictionary abort.
        {"a NUL in a binary key", // a UTF-16 key "a", NUL, "b"
         binaryPlist({bytes({0xd1, 1, 2}), bytes({0x63, 0, 'a', 0, 0, 0, 'b'}), bytes({0x51, 'v'})}, 0)},
        {"a NUL in an XML text", document("<dict><key>Password</key><string>a&#x0;b</string></dict>")},
    };
    for (const auto& [name, content] : cases) {
        files.writeSettings(content);
        fakes.logLines->clear();
        delegate.setProperties(PropertyList::dictionary());
        const PropertyList p = load();
        EXPECT_TRUE(p.isNull()) << name;
        ASSERT_EQ(fakes.logLines->size(), 1) << name;
        EXPECT_TRUE(fakes.logLines->first().startsWith(
            QStringLiteral("Error reading plist from file '%1', error = '").arg(files.settingsPath())))
            << fakes.logLines->first().toStdString();
        EXPECT_EQ(files.readSettings(), content) << name << ": a failed load must not write";
    }
    files.writeSettings(doublingBinary(3)); // the same shape, small: it loads
    EXPECT_FALSE(load().isNull());
}

TEST_F(SettingsStoreTest, MissingFileLoadsAsNothingAndIsNotCreatedByAWrite) {
    files.removeSettings();
    EXPECT_TRUE(load().isNull());
    ASSERT_EQ(fakes.logLines->size(), 1);
    EXPECT_TRUE(fakes.logLines->first().startsWith(QStringLiteral("Error reading plist from file '")));

    EXPECT_FALSE(delegate.writePlist(PropertyList::dictionary(), kSettings));
    EXPECT_FALSE(QFile::exists(files.settingsPath()));
}

TEST_F(SettingsStoreTest, ASettingsPathThatIsNoRegularFileFailsWithoutBlocking) {
    files.removeSettings();
    ASSERT_EQ(::mkfifo(files.settingsPath().toLocal8Bit().constData(), 0600), 0);
    EXPECT_TRUE(load().isNull()); // opening the FIFO would block for ever
    ASSERT_EQ(fakes.logLines->size(), 1);
    EXPECT_TRUE(fakes.logLines->first().endsWith(QStringLiteral("error = 'not a regular file'")));
}

TEST_F(SettingsStoreTest, AnUnserialisableDictionaryLogsAndLeavesTheFile) {
    const QByteArray before = files.readSettings();
    fakes.logLines->clear();
    EXPECT_FALSE(delegate.writePlist(PropertyList(), kSettings));
    EXPECT_EQ(*fakes.logLines, QStringList{QStringLiteral("Error writing plist to file error")});
    EXPECT_EQ(files.readSettings(), before);
}

TEST_F(SettingsStoreTest, TheFileStaysOwnerOnlyAcrossRewrites) {
    QFile::setPermissions(files.settingsPath(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    PropertyList p = load();
    p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
    ASSERT_TRUE(delegate.writePlist(p, kSettings));
    struct stat st {};
    ASSERT_EQ(::stat(files.settingsPath().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(files.bundle().resourcesPath()).entryList({QStringLiteral("Settings.plist*")}, QDir::Files),
              QStringList{QStringLiteral("Settings.plist")});
}

// Files beside the settings file are the person's, whatever their names: the
// writer's temporary file has no name until its commit renames it into place.
TEST(SettingsStoreStartup, StartUpDeletesNoFileBesideTheSettings) {
    RunningVessik v;
    const QDir resources(v.files.bundle().resourcesPath());
    const QStringList names = {QStringLiteral("Settings.plist.backup"), QStringLiteral("Settings.plist.Ab12Cd")};
    for (const QString& name : names) {
        QFile f(resources.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("mine");
    }
    v.start({.upTo = RunningVessik::Launched, .interface = false});
    for (const QString& name : names) {
        QFile f(resources.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
        EXPECT_EQ(f.readAll(), "mine");
    }
}

// Run in a child process by the next test: rewrites the settings file of the
// bundle named by VESSIK_WRITER_BUNDLE for ever, alternating two large versions.
TEST(SettingsStoreWriter, DISABLED_WriteForever) {
    FakePlatform fakes;
    VessikAppDelegate delegate(Bundle(qEnvironmentVariable("VESSIK_WRITER_BUNDLE")), fakes.take());
    PropertyList p = PropertyList::dictionary();
    for (int i = 0; i < 400; ++i) {
        p.setString(QStringLiteral("Filler%1").arg(i), QString(40, u'x'));
    }
    p.setString(QStringLiteral("Round"), qEnvironmentVariable("VESSIK_WRITER_ROUND"));
    for (std::int64_t n = 0;; ++n) {
        p.setInteger(QStringLiteral("RetryLeft"), n);
        delegate.writePlist(p, kSettings);
    }
}

TEST(SettingsStoreAtomicity, AReaderNeverSeesAPartialFileWhileWritersAreKilled) {
    TestBundle files;
    FakePlatform fakes;
    VessikAppDelegate reader(files.bundle(), fakes.take());
    for (int round = 0; round < 15; ++round) {
        QProcess writer;
        startChildTest(writer, {.name = "SettingsStoreWriter.DISABLED_WriteForever",
                                .environment = {{QStringLiteral("VESSIK_WRITER_BUNDLE"), files.bundle().root()},
                                                {QStringLiteral("VESSIK_WRITER_ROUND"), QString::number(round)}}});
        ASSERT_TRUE(writer.waitForStarted());
        // Read while the writer rewrites the file, until it has written a few versions.
        auto writerIsBusy = [&] {
            const PropertyList& p = reader.properties();
            return p.stringValue(QStringLiteral("Round")) == QString::number(round) &&
                   p.integerValue(QStringLiteral("RetryLeft")) >= 3 + round % 5;
        };
        for (int i = 0; !writerIsBusy(); ++i) {
            reader.readPlist(kSettings);
            ASSERT_FALSE(reader.properties().isNull()) << "round " << round << ", read " << i;
            ASSERT_LT(i, 200000) << "the writer never wrote";
        }
        writer.kill(); // SIGKILL, mid-write more often than not
        writer.waitForFinished();
        reader.readPlist(kSettings);
        ASSERT_FALSE(reader.properties().isNull()) << "after the kill of round " << round;
    }
    EXPECT_TRUE(fakes.logLines->isEmpty()) << fakes.logLines->join(u'\n').toStdString();
}

} // namespace
