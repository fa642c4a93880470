#pragma once

#include <memory>

#include "common/platform/SystemLog.h"
#include "platform/DisplayCapture.h"
#include "platform/FileWatch.h"
#include "platform/HotKeyService.h"
#include "platform/IdleCounter.h"
#include "platform/PowerOff.h"
#include "platform/PreferencePane.h"
#include "platform/ProcessTable.h"
#include "platform/SymbolicHotKeys.h"

// Every machine service the delegate uses. `main` fills it with the Linux/X11
// implementations (makeLinuxPlatform); tests fill it with fakes.
struct PlatformServices {
    std::unique_ptr<SystemLog> log;
    std::unique_ptr<DisplayCapture> displays;
    std::unique_ptr<HotKeyService> hotKeys;
    std::unique_ptr<SymbolicHotKeys> symbolicHotKeys;
    std::unique_ptr<IdleCounter> idle;
    std::unique_ptr<ProcessTable> processes;
    std::unique_ptr<PowerOff> powerOff;
    std::unique_ptr<PreferencePane> preferencePane;
    std::unique_ptr<FileWatch> fileWatch;
};

// The real services of an X11 session. Needs the QGuiApplication to exist; under a
// platform without an X connection the X11 services report failure instead of
// acting (no displays, no hotkeys, no idle time).
PlatformServices makeLinuxPlatform();

// True when the QGuiApplication runs on an X11 display. Everything Vessik does
// to the screen and the keyboard needs one; elsewhere the services above report
// failure instead of acting.
bool isX11Session();
