#include "platform/HotKeyService.h"

void dispatchHotKeyPress(HotKeyHandlers handlers, const EventHotKeyID& id) {
    const HotKeyEvent event{&id};
    for (auto h = handlers.rbegin(); h != handlers.rend(); ++h) {
        if (h->second.eventClass == kEventClassKeyboard && h->second.eventKind == kEventHotKeyPressed &&
            h->first(event) == 0) {
            break;
        }
    }
}
