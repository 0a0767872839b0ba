#include "cli/engine_ticks.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cli/engine_window.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Recorder final : public cli::EngineTicks::Client {
  public:
    Recorder(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
    void OnTick(unsigned timerId, unsigned generation) override {
        log_.push_back(name_ + std::to_string(timerId) + "." + std::to_string(generation));
    }

  private:
    std::vector<std::string>& log_;
    std::string name_;
};

// A tick added for a time before ticks already waiting (a late one restarting from its due
// time) still comes in due order; equal times keep the order they were added in; the ticks of
// a client that left go nowhere, also once its place is taken again.
TEST(EngineTicksTest, TicksComeInDueOrderAndOnlyToTheirOwnClient) {
    asio::io_context loop(1);
    cli::EngineTicks& ticks = cli::EngineTicks::Of(loop);
    std::vector<std::string> log;
    Recorder a(log, "a"), b(log, "b"), c(log, "c");
    const std::uint32_t placeA = ticks.Join(a);
    const std::uint32_t placeB = ticks.Join(b);
    const Clock::time_point now = Clock::now();
    ticks.Add(now + milliseconds(30), placeA, 1, 1);
    ticks.Add(now + milliseconds(40), placeB, 1, 1);
    ticks.Add(now + milliseconds(10), placeB, 2, 1);
    ticks.Add(now + milliseconds(30), placeB, 3, 1);
    ticks.Add(now + milliseconds(20), placeA, 2, 1);
    ticks.Leave(placeA);
    const std::uint32_t placeC = ticks.Join(c);
    EXPECT_EQ(placeC, placeA) << "a free place is used again";
    ticks.Add(now + milliseconds(35), placeC, 9, 4);
    loop.run_for(milliseconds(2000));  // ends early once nothing waits
    EXPECT_EQ(log, (std::vector<std::string>{"b2.1", "b3.1", "c9.4", "b1.1"}));
}

// A timer of period 0 ticks once per turn of the loop, so that the loop's other work goes on.
TEST(EngineTicksTest, TimerWithoutPeriodLetsTheLoopTurn) {
    asio::io_context loop(1);
    cli::EngineWindow window(loop);
    int ticks = 0;
    int posted = 0;
    window.SetTimerHandler([&](unsigned) {
        if (++ticks == 3) {
            window.PostMessage(1, 0, 0);
        }
        if (posted > 0 || ticks >= 100) {  // at 100: the loop never turned
            window.KillTimer(7);
        }
    });
    window.SetMessageHandler([&](unsigned, platform::WParam, platform::LParam) { ++posted; });
    window.SetTimer(7, 0);
    loop.run_for(milliseconds(2000));
    EXPECT_EQ(posted, 1);
    EXPECT_GE(ticks, 4);
    EXPECT_LT(ticks, 100);
}

}  // namespace
