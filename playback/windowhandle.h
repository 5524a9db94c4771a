// The main window as the connection workers and the engine's callbacks see it: status messages
// and label writes delivered synchronously on the window thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <deque>
#include <string>

class QObject;

// Window message number of a player status report (code in wParam, payload in lParam).
inline constexpr uint32_t WM_PLAYER_STATUS = 1125;

// Status codes of WM_PLAYER_STATUS.
inline constexpr uint32_t kStatusConnecting = 0;
inline constexpr uint32_t kStatusNoService = 1;
inline constexpr uint32_t kStatusBuffering = 2;     // payload: the percentage
inline constexpr uint32_t kStatusStationName = 3;   // payload: a text, as all below
inline constexpr uint32_t kStatusInfo = 4;          // information the window does not show
inline constexpr uint32_t kStatusSongTitleAlt = 6;  // shown as kStatusSongTitle; never sent
inline constexpr uint32_t kStatusSongTitle = 7;
inline constexpr uint32_t kStatusHeaders = 8;  // the server's response headers; not shown

// Whether the code's payload is the address of a text (otherwise a number or 0).
inline constexpr bool StatusCarriesText(uint32_t code) {
    return code == kStatusStationName || code == kStatusInfo || code == kStatusSongTitleAlt ||
           code == kStatusSongTitle || code == kStatusHeaders;
}

// The labels that the player's logic writes without a status message.
enum class TPlayerLabel { Label4, Label3, Kbps, Hz };

// What the player's logic needs of its main window; the window implements it.
class TPlayerWindow {
  public:
    virtual ~TPlayerWindow() = default;
    // lParam: 0, a signed 32-bit number, or the address of a NUL-ended text valid only during
    // the call, by code.
    virtual void WMPlayerStatus(uint32_t code, intptr_t lParam) = 0;
    virtual void SetPlayerLabel(TPlayerLabel label, const std::string& bytes) = 0;
};

class TWindowHandle {
  public:
    // Window thread: binds the handle to the window and opens it. A handle may be bound again
    // after close() (a new window).
    void attach(TPlayerWindow* window);
    // Window thread: from now on sends return at once without being handled, and those still
    // waiting return too, so no worker or engine thread can hold up the shutdown.
    void close();
    bool isOpen() const;
    // Calls queued for the window thread and not yet run.
    size_t waitingCalls() const;

    // Any thread. Runs fn on the window thread and returns when it has run: at once on the
    // window thread, otherwise through the window thread's event queue while the caller waits.
    // False when the handle is closed (before or while waiting): fn has not run and never will.
    bool invoke(const std::function<void()>& fn);

    // As invoke, with the bound window (fn does not run when none is bound).
    bool invokeOnWindow(const std::function<void(TPlayerWindow&)>& fn);

    // WM_PLAYER_STATUS, synchronously; true when the window handled it.
    bool send(uint32_t code, intptr_t lParam);
    bool sendText(uint32_t code, const std::string& text) {
        return send(code, reinterpret_cast<intptr_t>(text.c_str()));
    }
    bool setLabel(TPlayerLabel label, const std::string& bytes);

  private:
    struct Call {
        std::function<void()> fn;
        bool done = false;  // ran, or cancelled by close()
        bool ran = false;
    };
    friend class TWindowContext;
    // Window thread: runs the queued calls in the order they were made.
    void drain();

    // Guarded by mutex_: everything below. fn is never run while it is held.
    mutable std::mutex mutex_;
    std::condition_variable callDone_;
    TPlayerWindow* window_ = nullptr;
    QObject* context_ = nullptr;  // lives on the window thread; wake-ups are posted to it
    bool open_ = false;
    std::deque<std::shared_ptr<Call>> queue_;
};

// The one main window. Never destroyed, so detached workers may still reach it during exit.
extern TWindowHandle& MainWindowHandle;

// Status messages and label writes of the player's logic, to MainWindowHandle. A thread may gate
// its own sends (a connection worker, once superseded, sends nothing more): a gated send that
// does not pass is dropped and returns false. Threads without a gate (the engine's sync thread)
// always send.
bool PlayerSend(uint32_t code, intptr_t lParam);
bool PlayerSendText(uint32_t code, const std::string& text);
bool PlayerSetLabel(TPlayerLabel label, const std::string& bytes);

// From now on the calling thread's sends go out only while passes(token) holds.
using TSendGate = bool (*)(uint64_t token);
void SetThreadSendGate(TSendGate passes, uint64_t token);
