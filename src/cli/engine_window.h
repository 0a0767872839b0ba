#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "platform/window_messages.h"

namespace cli {

// The headless window of one device's upload on an Asio loop: posted messages and numbered
// timers, delivered from the loop one at a time, as platform::MessageWindow delivers them from
// Qt's. A killed (or restarted) timer delivers no tick of its earlier period. Must outlive the
// loop's run: its handlers refer to it.
class EngineWindow : public platform::MessageTarget {
  public:
    using MessageHandler =
        std::function<void(unsigned message, platform::WParam wParam, platform::LParam lParam)>;
    using TimerHandler = std::function<void(unsigned timerId)>;

    explicit EngineWindow(asio::io_context& loop) : loop_(loop) {}
    EngineWindow(const EngineWindow&) = delete;
    EngineWindow& operator=(const EngineWindow&) = delete;

    void SetMessageHandler(MessageHandler handler) { messageHandler_ = std::move(handler); }
    void SetTimerHandler(TimerHandler handler) { timerHandler_ = std::move(handler); }

    // Queues the message; the handler sees it after the caller has returned to the loop.
    void PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) override;

    // Starts (or restarts the period of) timer `timerId`. A tick that comes late is followed by
    // the next at its due time, or one period later when that has passed as well.
    void SetTimer(unsigned timerId, int periodMs);
    // Stops timer `timerId`; no tick of it is delivered afterwards. Unknown ids are ignored.
    void KillTimer(unsigned timerId);

  private:
    struct Timer {
        unsigned id = 0;
        unsigned generation = 0;  // a tick of another generation is stale
        bool running = false;
        std::chrono::milliseconds period{0};
        std::chrono::steady_clock::time_point due;
        std::unique_ptr<asio::steady_timer> timer;
    };

    Timer& Find(unsigned timerId);
    void Arm(Timer& timer);

    asio::io_context& loop_;
    MessageHandler messageHandler_;
    TimerHandler timerHandler_;
    std::vector<Timer> timers_;  // few: the sequencer uses one
};

}  // namespace cli
