#include "fakes/RunningVessik.h"

void RunningVessik::start(const Start& how) {
    ui_.reset();
    bareDelegate_.reset();
    fakes = FakePlatform();
    how_ = how;
    if (how.interface) {
        ui_ = std::make_unique<MainInterface>(files.bundle(), fakes.take(), how.settingsWindow);
    } else {
        bareDelegate_ = std::make_unique<VessikAppDelegate>(files.bundle(), fakes.take());
    }
    if (how.upTo != Built) {
        delegate().awakeFromNib();
    }
    if (how.upTo == Launched) {
        delegate().applicationDidFinishLaunching();
    }
}
