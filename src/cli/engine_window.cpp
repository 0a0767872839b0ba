#include "cli/engine_window.h"

#include <asio/post.hpp>

namespace cli {

void EngineWindow::PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    asio::post(loop_, [this, message, wParam, lParam] {
        if (messageHandler_) {
            messageHandler_(message, wParam, lParam);
        }
    });
}

EngineWindow::Timer& EngineWindow::Find(unsigned timerId) {
    for (Timer& timer : timers_) {
        if (timer.id == timerId) {
            return timer;
        }
    }
    Timer& added = timers_.emplace_back();
    added.id = timerId;
    added.timer = std::make_unique<asio::steady_timer>(loop_);
    return added;
}

void EngineWindow::SetTimer(unsigned timerId, int periodMs) {
    Timer& timer = Find(timerId);
    ++timer.generation;
    timer.running = true;
    timer.period = std::chrono::milliseconds(periodMs < 0 ? 0 : periodMs);
    timer.due = std::chrono::steady_clock::now() + timer.period;
    Arm(timer);
}

void EngineWindow::KillTimer(unsigned timerId) {
    for (Timer& timer : timers_) {
        if (timer.id == timerId && timer.running) {
            ++timer.generation;
            timer.running = false;
            timer.timer->cancel();
        }
    }
}

void EngineWindow::Arm(Timer& timer) {
    timer.timer->expires_at(timer.due);
    timer.timer->async_wait(
        [this, id = timer.id, generation = timer.generation](asio::error_code ec) {
            if (ec) {
                return;
            }
            Timer& ticking = Find(id);
            if (ticking.generation != generation || !ticking.running) {
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            ticking.due += ticking.period;
            if (ticking.due < now) {
                ticking.due = now + ticking.period;
            }
            Arm(ticking);  // before the handler, which may kill or restart the timer
            if (timerHandler_) {
                timerHandler_(id);
            }
        });
}

}  // namespace cli
