#include "cli/engine_window.h"

#include <asio/post.hpp>

namespace cli {

EngineWindow::EngineWindow(asio::io_context& loop)
    : loop_(loop), ticks_(EngineTicks::Of(loop)), place_(ticks_.Join(*this)) {}

EngineWindow::~EngineWindow() {
    ticks_.Leave(place_);
}

void EngineWindow::PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    asio::post(loop_, [this, message, wParam, lParam] {
        if (messageHandler_) {
            messageHandler_(message, wParam, lParam);
        }
    });
}

EngineWindow::Timer* EngineWindow::Lookup(unsigned timerId) {
    for (std::size_t i = 0; i < inlineCount_; ++i) {
        if (inlineTimers_[i].id == timerId) {
            return &inlineTimers_[i];
        }
    }
    for (Timer& timer : moreTimers_) {
        if (timer.id == timerId) {
            return &timer;
        }
    }
    return nullptr;
}

EngineWindow::Timer& EngineWindow::Find(unsigned timerId) {
    if (Timer* timer = Lookup(timerId)) {
        return *timer;
    }
    Timer& added =
        inlineCount_ < kInlineTimers ? inlineTimers_[inlineCount_++] : moreTimers_.emplace_back();
    added.id = timerId;
    return added;
}

void EngineWindow::SetTimer(unsigned timerId, int periodMs) {
    Timer& timer = Find(timerId);
    ++timer.generation;
    timer.running = true;
    timer.period = std::chrono::milliseconds(periodMs < 0 ? 0 : periodMs);
    timer.due = std::chrono::steady_clock::now() + timer.period;
    ticks_.Add(timer.due, place_, timer.id, timer.generation);
}

void EngineWindow::KillTimer(unsigned timerId) {
    if (Timer* timer = Lookup(timerId); timer != nullptr && timer->running) {
        ++timer->generation;  // the tick already waiting is stale
        timer->running = false;
    }
}

void EngineWindow::OnTick(unsigned timerId, unsigned generation) {
    Timer* ticking = Lookup(timerId);
    if (ticking == nullptr || ticking->generation != generation || !ticking->running) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    ticking->due += ticking->period;
    if (ticking->due < now) {
        ticking->due = now + ticking->period;
    }
    // Before the handler, which may kill or restart the timer.
    ticks_.Add(ticking->due, place_, ticking->id, ticking->generation);
    if (timerHandler_) {
        timerHandler_(timerId);
    }
}

}  // namespace cli
