#include "platform/wayland/WaylandSessionLock.h"

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <QtCore/QCoreApplication>
#include <QtGui/QImage>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QLayout>
#include <QtWidgets/QWidget>

#include "ext-session-lock-v1-client.h"

// A shared-memory buffer the compositor reads; busy from its commit until the
// compositor releases it.
struct WaylandSessionLock::Buffer {
    wl_buffer* buffer = nullptr;
    void* data = MAP_FAILED;
    std::size_t bytes = 0;
    QSize size;
    bool busy = false;
    Surface* surface = nullptr;

    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (buffer != nullptr) {
            wl_buffer_destroy(buffer);
        }
        if (data != MAP_FAILED) {
            ::munmap(data, bytes);
        }
    }
};

// One output's lock surface and its two buffers.
struct WaylandSessionLock::Surface {
    WaylandSessionLock* owner = nullptr;
    std::uint32_t outputName = 0;
    WaylandClient::Output* output = nullptr;
    wl_surface* surface = nullptr;
    ext_session_lock_surface_v1* lockSurface = nullptr;
    QSize size; // logical, from the last configure; empty before the first
    bool dirty = false;
    std::unique_ptr<Buffer> buffers[2];

    Surface() = default;
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    ~Surface() {
        if (lockSurface != nullptr) {
            ext_session_lock_surface_v1_destroy(lockSurface);
        }
        if (surface != nullptr) {
            wl_surface_destroy(surface);
        }
    }
};

struct SessionLockListeners {
    static void locked(void* data, ext_session_lock_v1*) { static_cast<WaylandSessionLock*>(data)->lockedEvent(); }
    static void finished(void* data, ext_session_lock_v1*) { static_cast<WaylandSessionLock*>(data)->finishedEvent(); }
    static constexpr ext_session_lock_v1_listener lock{&locked, &finished};

    static void configure(void* data, ext_session_lock_surface_v1*, std::uint32_t serial, std::uint32_t width,
                          std::uint32_t height) {
        auto* surface = static_cast<WaylandSessionLock::Surface*>(data);
        surface->owner->configured(*surface, serial, width, height);
    }
    static constexpr ext_session_lock_surface_v1_listener surface{&configure};

    static void release(void* data, wl_buffer*) {
        auto* buffer = static_cast<WaylandSessionLock::Buffer*>(data);
        buffer->busy = false;
        if (buffer->surface != nullptr && buffer->surface->dirty) {
            buffer->surface->owner->draw(*buffer->surface);
        }
    }
    static constexpr wl_buffer_listener buffer{&release};
};

namespace {

// Makes `buffer` a memfd-backed buffer of `size` pixels, XRGB8888.
bool makeBuffer(wl_shm* shm, const QSize& size, WaylandSessionLock::Buffer& buffer);

} // namespace

WaylandSessionLock::WaylandSessionLock(std::shared_ptr<WaylandClient> client) : client_(std::move(client)) {
    drawSoon_.setSingleShot(true);
    connect(&drawSoon_, &QTimer::timeout, this, &WaylandSessionLock::drawAll);
    connect(&repeat_, &QTimer::timeout, this, [this] {
        key(true, repeatKey_, true);
        const int rate = client_->repeatRate();
        repeat_.setInterval(rate > 0 ? 1000 / rate : 0);
    });
    connect(client_.get(), &WaylandClient::outputAdded, this, [this](WaylandClient::Output* output) {
        if (lock_ != nullptr) {
            addSurface(output); // an output plugged in during the lock is covered too
        }
    });
    connect(client_.get(), &WaylandClient::outputRemoved, this, &WaylandSessionLock::removeSurface);
    connect(client_.get(), &WaylandClient::key, this,
            [this](bool pressed, std::uint32_t keycode) { key(pressed, keycode, false); });
    connect(client_.get(), &WaylandClient::keyboardLeft, &repeat_, &QTimer::stop);
    connect(client_.get(), &WaylandClient::keyboardChanged, this, [this] {
        if (lock_ != nullptr && keyboardChanged_) {
            keyboardChanged_();
        }
    });
    connect(client_.get(), &WaylandClient::lost, this, [this] {
        // The compositor is gone, and with it the session and its outputs.
        if (lock_ != nullptr && lost_) {
            lost_(QStringLiteral("the Wayland compositor closed the connection"));
        }
    });
}

WaylandSessionLock::~WaylandSessionLock() {
    if (lock_ != nullptr) {
        unlock();
    }
}

std::vector<DisplayId> WaylandSessionLock::activeDisplays(std::size_t maxCount) {
    // The session lock covers every output at once; one display stands for it,
    // so that a lock begins with one capture even before any output is known.
    (void)maxCount;
    return {0};
}

void WaylandSessionLock::capture(DisplayId display) {
    if (std::find(captured_.begin(), captured_.end(), display) != captured_.end()) {
        return;
    }
    captured_.push_back(display);
    if (lock_ == nullptr) {
        lock();
    }
}

void WaylandSessionLock::release(DisplayId display) {
    std::erase(captured_, display);
    if (captured_.empty() && lock_ != nullptr) {
        unlock();
    }
}

void WaylandSessionLock::lock() {
    if (client_->lockManager() == nullptr || !client_->alive()) {
        // Nothing covers the screen: said once the capture's caller has returned.
        QTimer::singleShot(0, this, [this] {
            if (lock_ == nullptr && !captured_.empty() && lost_) {
                lost_(QStringLiteral("the Wayland compositor cannot be reached"));
            }
        });
        return;
    }
    lock_ = ext_session_lock_manager_v1_lock(client_->lockManager());
    ext_session_lock_v1_add_listener(lock_, &SessionLockListeners::lock, this);
    for (const std::unique_ptr<WaylandClient::Output>& output : client_->outputs()) {
        if (output->announced) {
            addSurface(output.get());
        }
    }
    client_->flush(); // the request goes out now, not when the loop next sleeps
}

void WaylandSessionLock::unlock() {
    dropLock(locked_);
    // The compositor has let go once this returns: nothing stays covered.
    client_->roundtrip();
    setHeld(false);
}

void WaylandSessionLock::dropLock(bool unlocking) {
    repeat_.stop();
    surfaces_.clear();
    if (unlocking) {
        ext_session_lock_v1_unlock_and_destroy(lock_);
    } else {
        ext_session_lock_v1_destroy(lock_);
    }
    lock_ = nullptr;
}

void WaylandSessionLock::addSurface(WaylandClient::Output* output) {
    if (lock_ == nullptr || output == nullptr) {
        return;
    }
    for (const std::unique_ptr<Surface>& s : surfaces_) {
        if (s->output == output) {
            return;
        }
    }
    auto surface = std::make_unique<Surface>();
    surface->owner = this;
    surface->output = output;
    surface->outputName = output->name;
    surface->surface = wl_compositor_create_surface(client_->compositor());
    surface->lockSurface = ext_session_lock_v1_get_lock_surface(lock_, surface->surface, output->output);
    ext_session_lock_surface_v1_add_listener(surface->lockSurface, &SessionLockListeners::surface, surface.get());
    surfaces_.push_back(std::move(surface));
}

void WaylandSessionLock::removeSurface(WaylandClient::Output* output) {
    std::erase_if(surfaces_, [output](const std::unique_ptr<Surface>& s) { return s->output == output; });
}

void WaylandSessionLock::configured(Surface& surface, std::uint32_t serial, std::uint32_t width, std::uint32_t height) {
    ext_session_lock_surface_v1_ack_configure(surface.lockSurface, serial);
    surface.size = QSize(static_cast<int>(width), static_cast<int>(height));
    draw(surface);
}

WaylandSessionLock::Surface* WaylandSessionLock::viewSurface() {
    // The output the lock window was placed on, else the first one configured.
    Surface* first = nullptr;
    for (const std::unique_ptr<Surface>& s : surfaces_) {
        if (s->size.isEmpty()) {
            continue;
        }
        if (first == nullptr) {
            first = s.get();
        }
        if (window_ != nullptr && s->output->logicalGeometry().contains(window_->geometry().center())) {
            return s.get();
        }
    }
    return first;
}

void WaylandSessionLock::draw(Surface& surface) {
    if (surface.size.isEmpty()) {
        return; // nothing may be attached before the first configure
    }
    const int scale = std::max(1, surface.output->scale);
    const QSize pixels = surface.size * scale;
    Buffer* buffer = nullptr;
    for (std::unique_ptr<Buffer>& b : surface.buffers) {
        if (!b || !b->busy) {
            if (!b || b->size != pixels) {
                b = std::make_unique<Buffer>(); // the old one, if any, goes with its pixels
                b->surface = &surface;
                if (!makeBuffer(client_->shm(), pixels, *b)) {
                    b.reset();
                    return;
                }
                wl_buffer_add_listener(b->buffer, &SessionLockListeners::buffer, b.get());
            }
            buffer = b.get();
            break;
        }
    }
    if (buffer == nullptr) {
        surface.dirty = true; // drawn when the compositor releases one
        return;
    }
    surface.dirty = false;
    QImage image(static_cast<uchar*>(buffer->data), pixels.width(), pixels.height(), pixels.width() * 4,
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    if (window_ != nullptr && &surface == viewSurface()) {
        // The view takes the whole output, as the lock window takes its monitor on X11.
        if (window_->size() != surface.size) {
            window_->setGeometry(QRect(surface.output->logicalGeometry().topLeft(), surface.size));
        }
        // A hidden window lays itself out only when asked, and its widgets do not
        // tell their layouts of a change: lines shown or changed since the last
        // draw would keep their old geometry. Every layout is made to ask again.
        for (QLayout* layout : window_->findChildren<QLayout*>()) {
            layout->invalidate();
        }
        if (QLayout* layout = window_->layout()) {
            layout->activate();
        }
        QPainter painter(&image);
        window_->render(&painter, QPoint(), QRegion(), QWidget::DrawWindowBackground | QWidget::DrawChildren);
    } else {
        image.fill(Qt::black);
    }
    wl_surface_set_buffer_scale(surface.surface, scale);
    wl_surface_attach(surface.surface, buffer->buffer, 0, 0);
    wl_surface_damage_buffer(surface.surface, 0, 0, pixels.width(), pixels.height());
    wl_surface_commit(surface.surface);
    buffer->busy = true;
}

void WaylandSessionLock::drawAll() {
    for (const std::unique_ptr<Surface>& s : surfaces_) {
        draw(*s);
    }
    client_->flush();
}

void WaylandSessionLock::lockViewChanged() {
    if (lock_ != nullptr && !drawSoon_.isActive()) {
        drawSoon_.start(0); // changes made together are drawn once
    }
}

void WaylandSessionLock::lockedEvent() {
    setHeld(true);
}

void WaylandSessionLock::finishedEvent() {
    const bool wasLocked = locked_;
    dropLock(false); // finished: the compositor has let go already
    setHeld(false);
    if (lost_) {
        lost_(wasLocked ? QStringLiteral("the compositor ended the session lock")
                        : QStringLiteral("the compositor refused the session lock (another screen locker may "
                                         "hold it)"));
    }
}

void WaylandSessionLock::setHeld(bool held) {
    if (held == locked_) {
        return;
    }
    locked_ = held;
    if (heldCallback_) {
        heldCallback_(held);
    }
    lockViewChanged();
}

QRect WaylandSessionLock::screenArea() {
    QRect area;
    for (const std::unique_ptr<WaylandClient::Output>& output : client_->outputs()) {
        area |= output->logicalGeometry();
    }
    return area;
}

void WaylandSessionLock::showLockWindow(QWidget* window) {
    // Never shown: drawn into the lock surfaces instead, at the size of the output
    // it lies on (else the first), so that its picture is decoded at that size.
    window_ = window;
    window->ensurePolished();
    const WaylandClient::Output* home = nullptr;
    for (const std::unique_ptr<WaylandClient::Output>& output : client_->outputs()) {
        if (home == nullptr || output->logicalGeometry().contains(window->geometry().center())) {
            home = output.get();
        }
    }
    if (home != nullptr && !home->logicalGeometry().isEmpty()) {
        window->setGeometry(home->logicalGeometry());
    }
    lockViewChanged();
}

void WaylandSessionLock::raiseAboveShields(QWidget* window) {
    window_ = window;
}

KeyboardState WaylandSessionLock::keyboardState() {
    return client_->keyboard().keyboardState();
}

void WaylandSessionLock::key(bool pressed, std::uint32_t keycode, bool repeat) {
    if (lock_ == nullptr || !locked_) {
        return; // keys reach our surfaces only while locked
    }
    XkbKeyboard& keyboard = client_->keyboard();
    if (!repeat) {
        repeat_.stop();
        if (pressed && keyboard.hasKeymap() && client_->repeatRate() > 0 &&
            xkb_keymap_key_repeats(keyboard.keymap(), keycode) != 0) {
            repeatKey_ = keycode;
            repeat_.start(client_->repeatDelayMs());
        }
    }
    const std::unique_ptr<QKeyEvent> event = keyboard.keyEvent(pressed, keycode, repeat);
    if (!event) {
        return;
    }
    if (pressed && !repeat && keyFilter_ && keyFilter_(*event, keycode)) {
        return;
    }
    if (window_ != nullptr) {
        QWidget* target = window_->focusWidget() != nullptr ? window_->focusWidget() : window_.data();
        QCoreApplication::sendEvent(target, event.get());
    }
    lockViewChanged();
}

namespace {

bool makeBuffer(wl_shm* shm, const QSize& size, WaylandSessionLock::Buffer& buffer) {
    const int stride = size.width() * 4;
    const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(size.height());
    const int fd = ::memfd_create("vessik-lock", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return false;
    }
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        ::close(fd);
        return false;
    }
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
    buffer.buffer = wl_shm_pool_create_buffer(pool, 0, size.width(), size.height(), stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    buffer.data = data;
    buffer.bytes = bytes;
    buffer.size = size;
    return true;
}

} // namespace
