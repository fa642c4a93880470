#pragma once

// Fake platform services for the logic tests. Each records what the delegate
// asked of it, in one shared event list where order matters, and answers as
// the test sets it up.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtWidgets/QWidget>

#include "platform/PlatformServices.h"

// What happened, in order, across all fakes ("capture 0", "kill 42", ...).
struct FakeEvents {
    QStringList events;
    void add(const QString& e) { events.append(e); }
};

class FakeLog : public SystemLog {
public:
    explicit FakeLog(std::shared_ptr<QStringList> lines) : lines_(std::move(lines)) {}
    void log(const QString& line) override { lines_->append(line); }

private:
    std::shared_ptr<QStringList> lines_;
};

class FakeDisplays : public DisplayCapture {
public:
    explicit FakeDisplays(std::shared_ptr<FakeEvents> ev) : ev_(std::move(ev)) {}
    std::vector<DisplayId> displays{0, 1};
    QWidget* raised = nullptr;
    bool raisedWhileVisible = false;
    std::function<void()> onRelease; // runs inside each release
    bool held = true;                // what inputHeld() answers
    KeyboardState keyboard;          // what keyboardState() answers
    QRect area;                      // what screenArea() answers
    std::function<void(bool)> heldCallback;

    // Changes inputHeld() and tells the delegate, as the real capture does.
    void setHeld(bool value) {
        held = value;
        if (heldCallback) {
            heldCallback(value);
        }
    }

    std::vector<DisplayId> activeDisplays(std::size_t maxCount) override {
        ev_->add(QStringLiteral("list %1").arg(maxCount));
        std::vector<DisplayId> out = displays;
        if (out.size() > maxCount) {
            out.resize(maxCount);
        }
        return out;
    }
    void capture(DisplayId d) override { ev_->add(QStringLiteral("capture %1").arg(d)); }
    void release(DisplayId d) override {
        ev_->add(QStringLiteral("release %1").arg(d));
        if (onRelease) {
            onRelease();
        }
    }
    QRect screenArea() override { return area; }
    void showLockWindow(QWidget* w) override { w->show(); }
    void raiseAboveShields(QWidget* w) override {
        ev_->add(QStringLiteral("raise"));
        raised = w;
        raisedWhileVisible = w != nullptr && w->isVisible();
    }
    bool inputHeld() const override { return held; }
    void setInputHeldCallback(std::function<void(bool)> callback) override { heldCallback = std::move(callback); }
    KeyboardState keyboardState() override { return keyboard; }
    void setKeyboardChangedCallback(std::function<void()> callback) override { keyboardChanged = std::move(callback); }
    std::function<void()> keyboardChanged;

private:
    std::shared_ptr<FakeEvents> ev_;
};

// The keeper of a lock beyond Vessik's life: records the state handed to it.
class FakeLockKeeper : public LockKeeper {
public:
    explicit FakeLockKeeper(std::shared_ptr<FakeEvents> ev) : ev_(std::move(ev)) {}
    std::optional<QByteArray> resumed; // what resumedLock() answers
    std::optional<QByteArray> state;   // the last state of a lock in force; nothing once it ended

    void start() override {}
    std::optional<QByteArray> resumedLock() const override { return resumed; }
    void lockInForce(const QByteArray& s) override {
        ev_->add(QStringLiteral("keeper lock"));
        state = s;
    }
    void lockEnded() override {
        ev_->add(QStringLiteral("keeper end"));
        state.reset();
    }

private:
    std::shared_ptr<FakeEvents> ev_;
};

class FakeHotKeys : public HotKeyService {
public:
    struct Registered {
        std::int32_t keyCode;
        std::uint32_t modifiers;
        EventHotKeyID id;
    };
    // Live registrations, in registration order; a destroyed registration leaves.
    std::shared_ptr<std::vector<std::shared_ptr<Registered>>> live =
        std::make_shared<std::vector<std::shared_ptr<Registered>>>();
    std::vector<std::pair<HotKeyHandlerFunction, EventTypeSpec>> handlers;
    bool refuse = false;

    void installEventHandler(HotKeyHandlerFunction h, const EventTypeSpec& t) override { handlers.emplace_back(h, t); }

    EventHotKeyRef registerEventHotKey(std::int32_t keyCode, std::uint32_t modifiers,
                                       const EventHotKeyID& id) override {
        if (refuse) {
            return {};
        }
        auto reg = std::make_shared<Registered>(Registered{keyCode, modifiers, id});
        live->push_back(reg);
        return std::make_unique<Registration>(live, reg);
    }

    // Delivers a press of a registered combination as the real service does:
    // newest handler first, until one returns 0. Returns how many handlers ran.
    int press(std::int32_t keyCode, std::uint32_t modifiers) {
        for (const auto& reg : *live) {
            if (reg->keyCode == keyCode && reg->modifiers == modifiers) {
                return deliver(&reg->id);
            }
        }
        return 0;
    }
    int deliver(const EventHotKeyID* id) {
        int ran = 0;
        HotKeyEvent event{id};
        for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
            ++ran;
            if (it->first(event) == 0) {
                break;
            }
        }
        return ran;
    }

private:
    class Registration : public HotKeyRegistration {
    public:
        Registration(std::shared_ptr<std::vector<std::shared_ptr<Registered>>> live, std::shared_ptr<Registered> reg)
            : live_(std::move(live)), reg_(std::move(reg)) {}
        ~Registration() override { std::erase(*live_, reg_); }

    private:
        std::shared_ptr<std::vector<std::shared_ptr<Registered>>> live_;
        std::shared_ptr<Registered> reg_;
    };
};

class FakeSymbolicHotKeys : public SymbolicHotKeys {
public:
    bool fail = false;
    std::vector<SymbolicHotKey> keys;
    int calls = 0;
    bool copySymbolicHotKeys(std::vector<SymbolicHotKey>& out) override {
        ++calls;
        if (fail) {
            return false;
        }
        out = keys;
        return true;
    }
};

class FakeIdle : public IdleCounter {
public:
    std::optional<std::int64_t> nanoseconds;
    int reads = 0; // how often the idle time was asked for
    std::optional<std::int64_t> idleNanoseconds() override {
        ++reads;
        return nanoseconds;
    }
    std::function<void()> screenSaverActivated; // what the delegate installed
    void setScreenSaverActivatedCallback(std::function<void()> callback) override {
        screenSaverActivated = std::move(callback);
    }
};

class FakeProcesses : public ProcessTable {
public:
    explicit FakeProcesses(std::shared_ptr<FakeEvents> ev) : ev_(std::move(ev)) {}
    std::vector<ProcessInfo> list;
    pid_t leader = 0;
    std::vector<ProcessInfo> processes() override { return list; }
    int kill(pid_t pid, int signal) override {
        ev_->add(QStringLiteral("kill %1 %2").arg(pid).arg(signal));
        return 0;
    }
    pid_t sessionLeader() override { return leader; }

private:
    std::shared_ptr<FakeEvents> ev_;
};

class FakePowerOff : public PowerOff {
public:
    explicit FakePowerOff(std::shared_ptr<FakeEvents> ev) : ev_(std::move(ev)) {}
    std::optional<QString> error;
    std::function<void()> onPowerOff; // runs inside the request
    std::optional<QString> powerOff() override {
        ev_->add(QStringLiteral("poweroff"));
        if (onPowerOff) {
            onPowerOff();
        }
        return error;
    }

private:
    std::shared_ptr<FakeEvents> ev_;
};

class FakePreferencePane : public PreferencePane {
public:
    int opened = 0;
    bool openKeyboardPreferences() override {
        ++opened;
        return true;
    }
};

// A later process's requests; its answers are recorded in `answers`.
class FakeInstance : public SingleInstance {
public:
    RequestCallback callback; // what the delegate installed
    std::shared_ptr<QStringList> answers = std::make_shared<QStringList>();
    Claim claim(const QString& /*display*/, QString* /*why*/) override { return Claim::Claimed; }
    void setRequestCallback(RequestCallback c) override { callback = std::move(c); }
    // Makes `request`; the requester's answers, and "closed" at its end, go to `answers`.
    void request(Request request) {
        class Recorder : public Requester {
        public:
            explicit Recorder(std::shared_ptr<QStringList> to) : to_(std::move(to)) {}
            ~Recorder() override { to_->append(QStringLiteral("closed")); }
            void answer(const QString& line) override { to_->append(line); }

        private:
            std::shared_ptr<QStringList> to_;
        };
        callback(request, std::make_unique<Recorder>(answers));
    }
};

// The login session: records the inhibitor and the hint; the test plays logind
// through the handlers.
class FakeSession : public SessionService {
public:
    Handlers handlers;
    bool inhibitorHeld = false;
    int inhibitorsTaken = 0;
    std::function<void()> onRelease; // runs inside each release of a held inhibitor
    std::optional<bool> lockedHint;

    std::optional<QString> start(Handlers h) override {
        handlers = std::move(h);
        return std::nullopt;
    }
    void takeSleepInhibitor(const QString& /*why*/) override {
        if (!inhibitorHeld) {
            inhibitorHeld = true;
            ++inhibitorsTaken;
        }
    }
    void releaseSleepInhibitor() override {
        if (inhibitorHeld && onRelease) {
            onRelease();
        }
        inhibitorHeld = false;
    }
    void setLockedHint(bool locked) override { lockedHint = locked; }
    QList<bool> idleHints; // every idle hint sent, in order
    void setIdleHint(bool idle) override { idleHints.append(idle); }
};

// The screen-saver service: the test plays the other programs through the handlers.
class FakeScreenSaver : public ScreenSaverService {
public:
    Handlers handlers;
    QList<bool> announced;
    std::vector<Inhibition> held;

    std::optional<QString> start(Handlers h) override {
        handlers = std::move(h);
        return std::nullopt;
    }
    void announceActive(bool active) override { announced.append(active); }
    bool inhibited() const override { return !held.empty(); }
    std::vector<Inhibition> inhibitions() const override { return held; }
    void adoptInhibitions(const std::vector<Inhibition>& inhibitions) override {
        held.insert(held.end(), inhibitions.begin(), inhibitions.end());
        handlers.inhibitionsChanged(inhibited());
    }
    // A player's inhibition.
    static Inhibition player() {
        return {7, QStringLiteral(":1.7"), QStringLiteral("player"), QStringLiteral("a film")};
    }
    // A player holds the idle lock off (true), or the last one let go (false).
    void setInhibited(bool value) {
        held.clear();
        if (value) {
            held.push_back(player());
        }
        handlers.inhibitionsChanged(value);
    }
};

// Reports what the test says has changed, when it says so.
class FakeFileWatch : public FileWatch {
public:
    QString path;
    int folders = 0;
    std::function<void()> changed;
    bool complete = true;
    void watch(const QString& p, int f, std::function<void()> c) override {
        path = p;
        folders = f;
        changed = std::move(c);
    }
    bool armed() override { return complete && changed != nullptr; }
};

// A full set of fakes. Build it, keep the raw pointers, then hand `take()` to
// the delegate (which owns the fakes from then on).
struct FakePlatform {
    std::shared_ptr<FakeEvents> events = std::make_shared<FakeEvents>();
    std::shared_ptr<QStringList> logLines = std::make_shared<QStringList>();
    FakeLockKeeper* lockKeeper = nullptr;
    FakeDisplays* displays = nullptr;
    FakeHotKeys* hotKeys = nullptr;
    FakeSymbolicHotKeys* symbolicHotKeys = nullptr;
    FakeIdle* idle = nullptr;
    FakeProcesses* processes = nullptr;
    FakePowerOff* powerOff = nullptr;
    FakePreferencePane* preferencePane = nullptr;
    FakeInstance* instance = nullptr;
    FakeSession* session = nullptr;
    FakeScreenSaver* screenSaver = nullptr;
    FakeFileWatch* fileWatch = nullptr;

    PlatformServices take() {
        PlatformServices p;
        p.log = std::make_unique<FakeLog>(logLines);
        p.lockKeeper = keep(lockKeeper, events);
        p.displays = keep(displays, events);
        p.hotKeys = keep(hotKeys);
        p.symbolicHotKeys = keep(symbolicHotKeys);
        p.idle = keep(idle);
        p.processes = keep(processes, events);
        p.powerOff = keep(powerOff, events);
        p.preferencePane = keep(preferencePane);
        p.instance = keep(instance);
        p.session = keep(session);
        p.screenSaver = keep(screenSaver);
        p.fileWatch = keep(fileWatch);
        return p;
    }

private:
    // A new fake for the delegate to own; `kept` points to it from then on.
    template <typename Fake, typename... Args> static std::unique_ptr<Fake> keep(Fake*& kept, const Args&... args) {
        auto fake = std::make_unique<Fake>(args...);
        kept = fake.get();
        return fake;
    }
};
