#include "platform/wayland/WaylandHotKeys.h"

#include <algorithm>
#include <xkbcommon/xkbcommon.h>

#include <QtCore/QObject>
#include <QtGui/QKeyEvent>

#include "platform/x11/X11KeyPositions.h"

struct WaylandHotKeys::State {
    struct Entry {
        std::int32_t keyCode;
        std::uint32_t modifiers;
        EventHotKeyID id;
        const void* owner; // the registration that made it
    };
    std::vector<Entry> entries;
    std::vector<std::pair<HotKeyHandlerFunction, EventTypeSpec>> handlers;
    QObject dispatcher; // the context of queued handler calls

    void dispatch(const EventHotKeyID& id) {
        const HotKeyEvent event{&id};
        const auto copy = handlers; // a handler may install another
        for (auto h = copy.rbegin(); h != copy.rend(); ++h) {
            if (h->second.eventClass == kEventClassKeyboard && h->second.eventKind == kEventHotKeyPressed &&
                h->first(event) == 0) {
                break;
            }
        }
    }
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
