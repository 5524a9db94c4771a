#include "playback/windowhandle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

TWindowHandle& MainWindowHandle = *new TWindowHandle;

namespace {

// This thread's send gate; none on threads that never set one.
thread_local TSendGate ThreadSendGate = nullptr;
thread_local uint64_t ThreadSendToken = 0;

bool ThreadMaySend() {
    return ThreadSendGate == nullptr || ThreadSendGate(ThreadSendToken);
}

}  // namespace

// Receives the wake-ups posted to the window thread. The calls themselves travel through the
// handle's own queue under its mutex, not inside the posted event, so every hand-over between
// threads is one that the handle's lock orders.
class TWindowContext : public QObject {
  public:
    explicit TWindowContext(TWindowHandle* handle) : handle_(handle) {}
    bool event(QEvent* event) override {
        handle_->drain();
        return QObject::event(event);
    }

  private:
    TWindowHandle* handle_;
};

void TWindowHandle::attach(TPlayerWindow* window) {
    // Calls still waiting for an earlier window are cancelled, as when it closed.
    close();
    std::lock_guard lock(mutex_);
    window_ = window;
    context_ = new TWindowContext(this);
    open_ = true;
}

void TWindowHandle::close() {
    QObject* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        window_ = nullptr;
        for (const auto& call : queue_) call->done = true;
        queue_.clear();
        context = context_;
        context_ = nullptr;
    }
    callDone_.notify_all();
    // Deleting the context drops the wake-ups still queued for it.
    delete context;
}

bool TWindowHandle::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

size_t TWindowHandle::waitingCalls() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

bool TWindowHandle::invoke(const std::function<void()>& fn) {
    auto call = std::make_shared<Call>();
    std::unique_lock lock(mutex_);
    if (!open_) return false;
    if (context_->thread() == QThread::currentThread()) {
        lock.unlock();
        fn();
        return true;
    }
    call->fn = fn;
    queue_.push_back(call);
    // Posting only queues an event; it runs none of our code, so the lock may be held. Holding
    // it keeps context_ alive until the event is queued.
    QCoreApplication::postEvent(context_, new QEvent(QEvent::User));
    callDone_.wait(lock, [&] { return call->done; });
    return call->ran;
}

void TWindowHandle::drain() {
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard lock(mutex_);
            if (!open_ || queue_.empty()) return;
            call = queue_.front();
            queue_.pop_front();
        }
        call->fn();
        {
            std::lock_guard lock(mutex_);
            call->ran = true;
            call->done = true;
        }
        callDone_.notify_all();
    }
}

bool TWindowHandle::invokeOnWindow(const std::function<void(TPlayerWindow&)>& fn) {
    return invoke([this, &fn] {
        TPlayerWindow* window;
        {
            std::lock_guard lock(mutex_);
            window = window_;
        }
        if (window) fn(*window);
    });
}

bool TWindowHandle::send(uint32_t code, intptr_t lParam) {
    return invokeOnWindow(
        [code, lParam](TPlayerWindow& window) { window.WMPlayerStatus(code, lParam); });
}

bool TWindowHandle::setLabel(TPlayerLabel label, const std::string& bytes) {
    return invokeOnWindow(
        [label, &bytes](TPlayerWindow& window) { window.SetPlayerLabel(label, bytes); });
}

bool PlayerSend(uint32_t code, intptr_t lParam) {
    return ThreadMaySend() && MainWindowHandle.send(code, lParam);
}

bool PlayerSendText(uint32_t code, const std::string& text) {
    return PlayerSend(code, reinterpret_cast<intptr_t>(text.c_str()));
}

bool PlayerSetLabel(TPlayerLabel label, const std::string& bytes) {
    return ThreadMaySend() && MainWindowHandle.setLabel(label, bytes);
}

void SetThreadSendGate(TSendGate passes, uint64_t token) {
    ThreadSendGate = passes;
    ThreadSendToken = token;
}
