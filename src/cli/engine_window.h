#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include <asio/io_context.hpp>

#include "cli/engine_ticks.h"
#include "platform/window_messages.h"

namespace cli {

// The headless window of one device's upload on an Asio loop: posted messages and numbered
// timers, delivered from the loop one at a time, as platform::MessageWindow delivers them from
// Qt's. The timers' ticks wait in the loop's EngineTicks. A killed (or restarted) timer
// delivers no tick of its earlier period. Must outlive the loop's run: posted messages refer to
// it.
class EngineWindow : public platform::MessageTarget, private EngineTicks::Client {
  public:
    using MessageHandler =
        std::function<void(unsigned message, platform::WParam wParam, platform::LParam lParam)>;
    using TimerHandler = std::function<void(unsigned timerId)>;

    explicit EngineWindow(asio::io_context& loop);
    ~EngineWindow();
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
    };
    // Timers kept inside the window (the sequencer uses one), so that a tick finds its timer in
    // memory the window's other work has just touched.
    static constexpr std::size_t kInlineTimers = 2;

    Timer* Lookup(unsigned timerId);
    Timer& Find(unsigned timerId);
    void OnTick(unsigned timerId, unsigned generation) override;

    asio::io_context& loop_;
    EngineTicks& ticks_;
    std::uint32_t place_ = 0;  // in ticks_
    MessageHandler messageHandler_;
    TimerHandler timerHandler_;
    std::array<Timer, kInlineTimers> inlineTimers_{};
    std::size_t inlineCount_ = 0;
    std::vector<Timer> moreTimers_;  // beyond kInlineTimers ids
};

}  // namespace cli
