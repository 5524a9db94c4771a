#include "playback/windowhandle.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

TWindowHandle& MainWindowHandle = *new TWindowHandle;

void TWindowHandle::attach(TPlayerWindow* window) {
    // Calls still waiting for an earlier window are cancelled, as when it closed.
    close();
    std::lock_guard lock(mutex_);
    window_ = window;
    context_ = new QObject;
    open_ = true;
}

void TWindowHandle::close() {
    QObject* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        window_ = nullptr;
        for (const auto& call : pending_) call->done = true;
        pending_.clear();
        context = context_;
        context_ = nullptr;
    }
    callDone_.notify_all();
    // Deleting the context drops the queued calls that have not run yet.
    delete context;
}

bool TWindowHandle::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
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
    pending_.insert(call);
    // Posting only queues an event; it runs none of our code, so the lock may be held. Holding
    // it keeps context_ alive until the event is queued.
    QMetaObject::invokeMethod(
        context_, [this, call] { runQueued(call); }, Qt::QueuedConnection);
    callDone_.wait(lock, [&] { return call->done; });
    return call->ran;
}

void TWindowHandle::runQueued(const std::shared_ptr<Call>& call) {
    {
        std::lock_guard lock(mutex_);
        if (call->done || !open_) return;  // cancelled by close()
    }
    call->fn();
    {
        std::lock_guard lock(mutex_);
        call->ran = true;
        call->done = true;
        pending_.erase(call);
    }
    callDone_.notify_all();
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
