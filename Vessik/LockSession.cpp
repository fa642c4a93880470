#include "LockSession.h"

#include <algorithm>

#include <QtCore/QDataStream>

#include "Secret.h"
#include "SettingsKeys.h"

namespace {

// The layout of the state handed to a restarted Vessik (handOver): 1 without
// the inhibitions, 2 with them. A guard from before an upgrade may hand over 1.
constexpr quint32 kHandOverLayout = 2;
// At most this many inhibitions, and this many characters of what their programs
// said, go with it (a unique bus name is short).
constexpr std::size_t kMostInhibitionsHandedOver = 32;
constexpr qsizetype kLongestText = 100;

} // namespace

LockSession::LockSession(QObject* parent) : QObject(parent), sleepWait_(this) {
    sleepWait_.setObjectName(QStringLiteral("sleepDelayTimer"));
    sleepWait_.setSingleShot(true);
    connect(&sleepWait_, &QTimer::timeout, this, &LockSession::sleepWaitOver);
}

LockSession::~LockSession() {
    settings_.eraseSecret(SettingsKeys::Password);
}

void LockSession::begin(PropertyList settings, bool inputToHold, bool lastAttempt) {
    state_ = State::Acquiring;
    settings_ = std::move(settings);
    inputToHold_ = inputToHold;
    lastAttempt_ = lastAttempt;
    layoutAtBegin_.reset();
}

bool LockSession::beganToHold() {
    if (state_ != State::Acquiring) {
        return false;
    }
    state_ = State::Locked;
    return true;
}

void LockSession::end() {
    state_ = State::Unlocked;
    inputToHold_ = false;
    settings_.eraseSecret(SettingsKeys::Password);
    settings_ = PropertyList();
    lockOutEnds_ = {};
}

void LockSession::lockedOutUntil(Clock::time_point ends) {
    lockedOut_ = true;
    lockOutEnds_ = ends;
}

LockSession::Field LockSession::field(bool captureHolds) const {
    if (!inputHeld(captureHolds)) {
        return Field::WaitingForInput;
    }
    return lockedOut_ ? Field::LockedOut : Field::Ready;
}

QString LockSession::layoutToName(const KeyboardState& keyboard) {
    if (!layoutAtBegin_) {
        layoutAtBegin_ = keyboard.layout;
    }
    return keyboard.layouts > 1 || keyboard.layout != *layoutAtBegin_ ? keyboard.layout : QString();
}

void LockSession::sleepWaits(int ms) {
    if (!sleepWait_.isActive()) {
        sleepWait_.start(ms);
    }
}

QByteArray LockSession::handOver(const std::vector<ScreenSaverService::Inhibition>& inhibitions) const {
    QByteArray state;
    QDataStream out(&state, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    QByteArray settings = settings_.toXml(nullptr, PropertyList::XmlLayout::Compact);
    out << kHandOverLayout << static_cast<qint64>(lockOutEnds_.time_since_epoch().count()) << settings;
    wipeBytes(settings);
    // The guard takes a bounded state: a program that piles up inhibitions with
    // long texts must not keep the settings from reaching it. Past the bound an
    // inhibition is lost to a restart, never the lock.
    const std::size_t carried = std::min(inhibitions.size(), kMostInhibitionsHandedOver);
    out << static_cast<quint32>(carried);
    for (std::size_t n = 0; n < carried; ++n) {
        const ScreenSaverService::Inhibition& i = inhibitions[n];
        out << i.cookie << i.owner << i.application.left(kLongestText) << i.reason.left(kLongestText);
    }
    return state;
}

std::optional<LockSession::HandedOver> LockSession::readHandOver(const QByteArray& state) {
    QDataStream in(state);
    in.setVersion(QDataStream::Qt_6_4);
    quint32 layout = 0;
    qint64 lockOutEnds = 0;
    QByteArray settings;
    in >> layout >> lockOutEnds >> settings;
    std::optional<HandedOver> read;
    if (in.status() == QDataStream::Ok && (layout == 1 || layout == kHandOverLayout)) {
        read =
            HandedOver{PropertyList::fromData(settings, nullptr), Clock::time_point(Clock::duration(lockOutEnds)), {}};
    }
    wipeBytes(settings);
    if (read && layout >= 2) {
        quint32 count = 0;
        in >> count;
        // Each costs at least its cookie and three lengths: a count beyond what is
        // left is a broken state, whose inhibitions are lost rather than the lock.
        for (quint32 n = 0; in.status() == QDataStream::Ok && n < count && !in.atEnd(); ++n) {
            ScreenSaverService::Inhibition i;
            in >> i.cookie >> i.owner >> i.application >> i.reason;
            if (in.status() == QDataStream::Ok) {
                read->inhibitions.push_back(std::move(i));
            }
        }
    }
    return read;
}
