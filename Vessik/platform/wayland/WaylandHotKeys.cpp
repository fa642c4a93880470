#include "platform/wayland/WaylandHotKeys.h"

#include <algorithm>
#include <xkbcommon/xkbcommon.h>

#include <QtCore/QObject>
#include <QtGui/QKeyEvent>

#include "platform/KeyNames.h"
#include "platform/x11/X11KeyPositions.h"

struct WaylandHotKeys::State {
    struct Entry {
        std::int32_t keyCode;
        std::uint32_t modifiers;
        EventHotKeyID id;
        const void* owner; // the registration that made it
    };
    std::vector<Entry> entries;
    HotKeyHandlers handlers;
    QObject dispatcher; // the context of queued handler calls

    void dispatch(const EventHotKeyID& id) { dispatchHotKeyPress(handlers, id); }
};

namespace {

class Registration final : public HotKeyRegistration {
public:
    explicit Registration(std::weak_ptr<WaylandHotKeys::State> state) : state_(std::move(state)) {}
    ~Registration() override {
        if (const std::shared_ptr<WaylandHotKeys::State> state = state_.lock()) {
            std::erase_if(state->entries, [this](const auto& entry) { return entry.owner == this; });
        }
    }

private:
    std::weak_ptr<WaylandHotKeys::State> state_;
};

// The modifiers of a hotkey as Qt names them.
Qt::KeyboardModifiers qtModifiers(std::uint32_t modifiers) {
    Qt::KeyboardModifiers qt;
    qt.setFlag(Qt::ShiftModifier, (modifiers & shiftKey) != 0);
    qt.setFlag(Qt::ControlModifier, (modifiers & controlKey) != 0);
    qt.setFlag(Qt::AltModifier, (modifiers & optionKey) != 0);
    return qt;
}

} // namespace

WaylandHotKeys::WaylandHotKeys() : state_(std::make_shared<State>()) {}

WaylandHotKeys::~WaylandHotKeys() = default;

void WaylandHotKeys::installEventHandler(HotKeyHandlerFunction handler, const EventTypeSpec& type) {
    state_->handlers.emplace_back(handler, type);
}

EventHotKeyRef WaylandHotKeys::registerEventHotKey(std::int32_t keyCode, std::uint32_t modifiers,
                                                   const EventHotKeyID& id) {
    if (xkbKeyNameOfKeyCode(keyCode) == nullptr ||
        std::any_of(state_->entries.begin(), state_->entries.end(),
                    [&](const State::Entry& e) { return e.keyCode == keyCode && e.modifiers == modifiers; })) {
        return nullptr; // outside the table, or one combination for two hotkeys
    }
    auto registration = std::make_unique<Registration>(state_);
    state_->entries.push_back({keyCode, modifiers, id, registration.get()});
    return registration;
}

QString WaylandHotKeys::lockBindingHint(std::int32_t keyCode, std::uint32_t modifiers) const {
    QString key;
    for (const KeyName& name : keyNameTable()) {
        if (name.code == keyCode) {
            key = QString::fromLatin1(name.name);
        }
    }
    if (key.isEmpty()) {
        return {};
    }
    const bool shift = (modifiers & shiftKey) != 0;
    const bool control = (modifiers & controlKey) != 0;
    const bool alt = (modifiers & optionKey) != 0;
    // Each compositor's way of writing the combination, with a separator.
    auto join = [&](const char* c, const char* a, const char* s, const char* separator, const QString& k) {
        QStringList parts;
        if (control) {
            parts << QString::fromLatin1(c);
        }
        if (alt) {
            parts << QString::fromLatin1(a);
        }
        if (shift) {
            parts << QString::fromLatin1(s);
        }
        if (!k.isEmpty()) {
            parts << k;
        }
        return parts.join(QLatin1String(separator));
    };
    QString line;
    if (!qEnvironmentVariableIsEmpty("SWAYSOCK")) {
        line = QStringLiteral("bindsym %1 exec vessik --lock").arg(join("Ctrl", "Alt", "Shift", "+", key.toLower()));
    } else if (!qEnvironmentVariableIsEmpty("HYPRLAND_INSTANCE_SIGNATURE")) {
        line =
            QStringLiteral("bind = %1, %2, exec, vessik --lock").arg(join("CTRL", "ALT", "SHIFT", " ", QString()), key);
    } else if (!qEnvironmentVariableIsEmpty("NIRI_SOCKET")) {
        line = QStringLiteral("%1 { spawn \"vessik\" \"--lock\"; }").arg(join("Ctrl", "Alt", "Shift", "+", key));
    } else if (!qEnvironmentVariableIsEmpty("LABWC_PID")) {
        line = QStringLiteral("<keybind key=\"%1\"><action name=\"Execute\" command=\"vessik --lock\"/></keybind>")
                   .arg(join("C", "A", "S", "-", key.toLower()));
    } else {
        line = QStringLiteral("%1 → vessik --lock").arg(join("Ctrl", "Alt", "Shift", "+", key));
    }
    return QStringLiteral("On this desktop no program may take keys from the others: bind the lock hotkey in "
                          "its settings to run vessik --lock, for example:\n%1\nBoth hotkeys work as set here "
                          "while the screen is locked; the shut-down hotkey works only then.")
        .arg(line);
}

bool WaylandHotKeys::handleKey(const QKeyEvent& event, std::uint32_t keycode, xkb_keymap* keymap) {
    if (keymap == nullptr) {
        return false;
    }
    const Qt::KeyboardModifiers held = event.modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    for (const State::Entry& entry : state_->entries) {
        const char* name = xkbKeyNameOfKeyCode(entry.keyCode);
        if (xkb_keymap_key_by_name(keymap, name) == keycode && held == qtModifiers(entry.modifiers)) {
            const EventHotKeyID id = entry.id;
            std::weak_ptr<State> state = state_;
            QMetaObject::invokeMethod(
                &state_->dispatcher,
                [state, id] {
                    if (const std::shared_ptr<State> s = state.lock()) {
                        s->dispatch(id);
                    }
                },
                Qt::QueuedConnection);
            return true;
        }
    }
    return false;
}
