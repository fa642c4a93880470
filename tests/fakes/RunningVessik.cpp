#include "fakes/RunningVessik.h"

void RunningVessik::start(const Start& how) {
    ui_.reset();
    bareDelegate_.reset();
    fakes = FakePlatform();
    how_ = how;
    PlatformServices platform = fakes.take();
    platform.lockRefusal = how.lockRefusal;
    fakes.lockKeeper->resumed = how.resumedLock;
    if (how.interface) {
        ui_ = std::make_unique<MainInterface>(files.bundle(), std::move(platform), how.settingsWindow);
    } else {
        bareDelegate_ = std::make_unique<VessikAppDelegate>(files.bundle(), std::move(platform));
    }
    if (how.upTo != Built) {
        delegate().awakeFromNib();
    }
    if (how.upTo == Launched) {
        delegate().applicationDidFinishLaunching();
    }
}
