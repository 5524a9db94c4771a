// Aborts a stream creation (AE_StreamCreateAbort, AE_Free) wherever it waits: connecting,
// probing, or waiting for the first sound.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "http_source.h"

namespace ae {

class Cancel {
  public:
    void cancel() {
        flag_ = true;
        std::lock_guard lock(mtx_);
        for (HttpSource* s : sources_) s->abort();
    }
    bool cancelled() const { return flag_; }

    // Registers a download for the time it is in use by the creation; aborts it at once when
    // the creation was already cancelled.
    void attach(HttpSource* source) {
        std::lock_guard lock(mtx_);
        sources_.push_back(source);
        if (flag_) source->abort();
    }
    void detach(HttpSource* source) {
        std::lock_guard lock(mtx_);
        std::erase(sources_, source);
    }

  private:
    std::atomic<bool> flag_{false};
    std::mutex mtx_;  // guards sources_
    std::vector<HttpSource*> sources_;
};

}  // namespace ae
