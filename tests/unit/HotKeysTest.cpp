// The hotkeys: key names, registration from the settings file, and the handler.
#include <gtest/gtest.h>
#include <set>
#include <variant>
#include <xkbcommon/xkbcommon.h>

#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>

#include "fakes/RunningVessik.h"
#include "platform/KeyNames.h"
#include "platform/x11/X11KeyPositions.h"

namespace {

const QString kSettings = QStringLiteral("Settings");
constexpr std::uint32_t kShiftControlOption = shiftKey | controlKey | optionKey;

class HotKeysTest : public ::testing::Test, protected RunningVessik {
protected:
    HotKeysTest() : RunningVessik({.upTo = Awake}) {}
    VessikAppDelegate& d = delegate();

    void editSettings(const std::function<void(PropertyList&)>& edit) { files.editSettings(edit); }

    std::vector<FakeHotKeys::Registered> registered() const {
        std::vector<FakeHotKeys::Registered> out;
        for (const auto& r : *fakes.hotKeys->live) {
            out.push_back(*r);
        }
        return out;
    }
};

TEST(KeyCodeForKeyString, NamesGiveTheirKeyPositionAndAnythingElseTheAKey) {
    const std::pair<std::optional<QString>, std::int32_t> cases[] = {
        {QStringLiteral("F1"), 122},
        {QStringLiteral("F10"), 109},
        {QStringLiteral("F12"), 111},
        {QStringLiteral("0"), 29},
        {QStringLiteral("5"), 23},
        {QStringLiteral("9"), 25},
        {QStringLiteral("A"), 0},
        {QStringLiteral("L"), 37},
        {QStringLiteral("Q"), 12},
        {QStringLiteral("Z"), 6},
        {QStringLiteral("F13"), 0},
        {QStringLiteral("f1"), 0},
        {QStringLiteral("a"), 0},
        {QStringLiteral(""), 0},
        {QStringLiteral(" L"), 0},
        {QStringLiteral("LL"), 0},
        {std::nullopt, 0},
    };
    for (const auto& [name, code] : cases) {
        EXPECT_EQ(VessikAppDelegate::keyCodeForKeyString(name), code)
            << name.value_or(QStringLiteral("<missing>")).toStdString();
    }
    std::set<std::int32_t> codes;
    for (const KeyName& key : keyNameTable()) {
        codes.insert(key.code);
    }
    EXPECT_EQ(codes.size(), 48u) << "every key name has a key position of its own";
}

// The X11 layer grabs the key position, not the character: on a US keyboard,
// the position of each name must produce that name.
TEST(KeyCodeForKeyString, EveryKeyPositionIsWhereAUsKeyboardHasThatKey) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    ASSERT_NE(context, nullptr);
    const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
    ASSERT_NE(keymap, nullptr);
    for (const KeyName& key : keyNameTable()) {
        const char* position = xkbKeyNameOfKeyCode(key.code);
        ASSERT_NE(position, nullptr) << key.name;
        const xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap, position);
        const xkb_keysym_t* syms = nullptr;
        ASSERT_EQ(xkb_keymap_key_get_syms_by_level(keymap, keycode, 0, 0, &syms), 1) << key.name;
        char symName[64];
        xkb_keysym_get_name(syms[0], symName, sizeof symName);
        EXPECT_EQ(QString::fromLatin1(symName).toUpper(), QString::fromLatin1(key.name)) << position;
    }
    EXPECT_EQ(xkbKeyNameOfKeyCode(10), nullptr); // a code outside the table
    xkb_keymap_unref(keymap);
    xkb_context_unref(context);
}

TEST_F(HotKeysTest, RegistersTheLockHotkeyThenTheShutDownHotkeyFromTheFile) {
    // What stands unsaved in the form does not count.
    d.lockDropdown()->setCurrentText(QStringLiteral("F5"));
    d.offShiftCheckbox()->setChecked(false);
    d.initHotKeys();

    const auto regs = registered();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].keyCode, 37); // "L"
    EXPECT_EQ(regs[0].modifiers, kShiftControlOption);
    EXPECT_EQ(regs[0].id.signature, 0x68746B31u);
    EXPECT_EQ(regs[0].id.id, 1u);
    EXPECT_EQ(regs[1].keyCode, 12); // "Q"
    EXPECT_EQ(regs[1].modifiers, kShiftControlOption);
    EXPECT_EQ(regs[1].id.signature, 0x68746B32u);
    EXPECT_EQ(regs[1].id.id, 2u);
    EXPECT_NE(d.hotKeyRef1(), nullptr);
    EXPECT_NE(d.hotKeyRef2(), nullptr);
    ASSERT_EQ(fakes.hotKeys->handlers.size(), 1u);
    EXPECT_EQ(fakes.hotKeys->handlers[0].first, &HotKeyHandler);
    EXPECT_EQ(fakes.hotKeys->handlers[0].second.eventClass, 0x6B657962u);
    EXPECT_EQ(fakes.hotKeys->handlers[0].second.eventKind, 5u);
}

TEST_F(HotKeysTest, AFlagAddsItsModifierOnlyWhenItReadsExactlyOne) {
    using Value = std::variant<std::monostate, std::int64_t, QString>; // missing, integer, text
    const std::pair<Value, bool> values[] = {
        {std::int64_t{1}, true},        {std::int64_t{0}, false},        {std::int64_t{2}, false},
        {std::int64_t{-1}, false},      {QStringLiteral("1"), true},     {QStringLiteral(" +1"), true},
        {QStringLiteral("01"), true},   {QStringLiteral("1 key"), true}, {QStringLiteral("2"), false},
        {QStringLiteral("yes"), false}, {QStringLiteral(""), false},     {std::monostate{}, false},
    };
    const std::pair<const char*, std::uint32_t> flags[] = {
        {"LockShift", shiftKey}, {"LockControl", controlKey}, {"LockAlt", optionKey},
        {"OffShift", shiftKey},  {"OffControl", controlKey},  {"OffAlt", optionKey},
    };
    for (const auto& [flag, bit] : flags) {
        for (const auto& [value, counts] : values) {
            // Named captures: clang 14 cannot capture structured bindings.
            editSettings([&flags, &flag = flag, &value = value](PropertyList& p) {
                for (const auto& [other, unused] : flags) {
                    p.setInteger(QString::fromLatin1(other), 0);
                }
                const QString key = QString::fromLatin1(flag);
                if (const auto* n = std::get_if<std::int64_t>(&value)) {
                    p.setInteger(key, *n);
                } else if (const auto* s = std::get_if<QString>(&value)) {
                    p.setString(key, *s);
                } else {
                    p.remove(key);
                }
            });
            d.initHotKeys();
            const auto regs = registered();
            ASSERT_EQ(regs.size(), 2u);
            const bool isLock = QByteArray(flag).startsWith("Lock");
            EXPECT_EQ(regs[isLock ? 0 : 1].modifiers, counts ? bit : 0u) << flag << " " << value.index();
            EXPECT_EQ(regs[isLock ? 1 : 0].modifiers, 0u) << flag;
        }
    }
}

TEST_F(HotKeysTest, WithoutFlagsTheBareKeyIsRegistered) {
    editSettings([](PropertyList& p) {
        for (const char* k : {"LockShift", "LockControl", "LockAlt"}) {
            p.setInteger(QString::fromLatin1(k), 0);
        }
        p.setString(QStringLiteral("LockFunc"), QStringLiteral("F5"));
    });
    d.initHotKeys();
    ASSERT_EQ(registered().size(), 2u);
    EXPECT_EQ(registered()[0].keyCode, 96);
    EXPECT_EQ(registered()[0].modifiers, 0u);
}

TEST_F(HotKeysTest, AnUnreadableFileRegistersTheBareAKeyForBoth) {
    files.writeSettings("not a property list");
    d.initHotKeys();
    const auto regs = registered();
    ASSERT_EQ(regs.size(), 2u);
    for (const auto& r : regs) {
        EXPECT_EQ(r.keyCode, 0);
        EXPECT_EQ(r.modifiers, 0u);
    }
    EXPECT_EQ(regs[0].id.id, 1u);
    EXPECT_EQ(regs[1].id.id, 2u);
}

TEST_F(HotKeysTest, RegisteringAgainReplacesBothAndAPressStillRunsOneHandler) {
    d.initHotKeys();
    editSettings([](PropertyList& p) { p.setString(QStringLiteral("LockFunc"), QStringLiteral("K")); });
    d.initHotKeys();
    editSettings([](PropertyList& p) { p.setString(QStringLiteral("LockFunc"), QStringLiteral("J")); });
    d.initHotKeys();

    const auto regs = registered();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].keyCode, 38); // "J", the newest
    EXPECT_EQ(regs[1].keyCode, 12);
    EXPECT_EQ(fakes.hotKeys->handlers.size(), 1u) << "the handler is installed once";
    EXPECT_EQ(fakes.hotKeys->press(38, kShiftControlOption), 1);
    EXPECT_EQ(fakes.hotKeys->press(37, kShiftControlOption), 0) << "the first combination no longer fires";
    EXPECT_EQ(fakes.hotKeys->press(40, kShiftControlOption), 0) << "nor the second";
}

TEST_F(HotKeysTest, ARefusedRegistrationStaysEmptyUntilALaterOneIsGranted) {
    fakes.hotKeys->refuse = true;
    d.initHotKeys();
    EXPECT_EQ(d.hotKeyRef1(), nullptr);
    EXPECT_EQ(d.hotKeyRef2(), nullptr);
    EXPECT_TRUE(registered().empty());

    fakes.hotKeys->refuse = false;
    d.initHotKeys();
    EXPECT_NE(d.hotKeyRef1(), nullptr);
    EXPECT_NE(d.hotKeyRef2(), nullptr);
    EXPECT_EQ(registered().size(), 2u);
}

TEST_F(HotKeysTest, BothHotkeysOnOneCombinationAreBothAttemptedLockFirst) {
    editSettings([](PropertyList& p) { p.setString(QStringLiteral("OffFunc"), QStringLiteral("L")); });
    d.initHotKeys();
    const auto regs = registered();
    ASSERT_EQ(regs.size(), 2u);
    EXPECT_EQ(regs[0].id.id, 1u);
    EXPECT_EQ(regs[1].id.id, 2u);
    EXPECT_EQ(regs[0].keyCode, regs[1].keyCode);
    EXPECT_EQ(regs[0].modifiers, regs[1].modifiers);
    EXPECT_TRUE(fakes.logLines->isEmpty()) << "no warning about the clash";
}

TEST_F(HotKeysTest, TheHandlerDispatchesOnTheIdAloneAndAlwaysReportsHandled) {
    editSettings([](PropertyList& p) {
        p.setString(QStringLiteral("Password"), QStringLiteral("pw"));
        p.setInteger(QStringLiteral("InactivityTime"), 300);
    });
    const EventHotKeyID other{0x68746B31, 3};
    EXPECT_EQ(HotKeyHandler(HotKeyEvent{&other}), 0);
    EXPECT_EQ(HotKeyHandler(HotKeyEvent{nullptr}), 0); // the identity could not be read
    EXPECT_FALSE(d.isCaptured());
    EXPECT_TRUE(fakes.events->events.isEmpty()) << fakes.events->events.join(u',').toStdString();

    const EventHotKeyID lockWithOtherSignature{0x68746B32, 1};
    EXPECT_EQ(HotKeyHandler(HotKeyEvent{&lockWithOtherSignature}), 0);
    EXPECT_TRUE(d.isCaptured()) << "id 1 locks whatever the signature";
    EXPECT_FALSE(fakes.events->events.contains(QStringLiteral("poweroff")));

    const EventHotKeyID off{0, 2};
    EXPECT_EQ(HotKeyHandler(HotKeyEvent{&off}), 0);
    EXPECT_TRUE(fakes.events->events.contains(QStringLiteral("poweroff"))) << "id 2 shuts down, locked or not";
}

} // namespace
