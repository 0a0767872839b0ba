#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include <asio/execution_context.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

namespace cli {

// The timer ticks of every EngineWindow on one Asio loop, in the order they come due, behind
// one Asio timer. A fleet's windows tick with one period, so a new tick is nearly always due
// after every tick already waiting: it goes in from the back instead of into a heap over
// thousands of timers, a due tick costs no allocation, and the loop's timer moves only when the
// first tick changes. A tick of a window that has gone is dropped.
class EngineTicks : public asio::execution_context::service {
  public:
    using Clock = std::chrono::steady_clock;
    // What a tick reaches: the window that asked for it.
    class Client {
      public:
        virtual void OnTick(unsigned timerId, unsigned generation) = 0;

      protected:
        ~Client() = default;
    };

    static inline asio::execution_context::id id;

    // The loop's ticks (made on first use); the loop must be an io_context.
    static EngineTicks& Of(asio::io_context& loop) { return asio::use_service<EngineTicks>(loop); }

    explicit EngineTicks(asio::execution_context& context);

    // A place for `client`'s ticks, until Leave.
    std::uint32_t Join(Client& client);
    void Leave(std::uint32_t place);
    // Calls OnTick(timerId, generation) of the client at `place` from the loop once `due` has
    // come (never from within this call). Ticks due at the same time come in the order added.
    void Add(Clock::time_point due, std::uint32_t place, unsigned timerId, unsigned generation);

  private:
    struct Tick {
        Clock::time_point due;
        std::uint32_t place = 0;
        std::uint32_t placeGeneration = 0;  // the place's, when the tick was added
        unsigned timerId = 0;
        unsigned generation = 0;
    };
    struct Place {
        Client* client = nullptr;  // null: free
        std::uint32_t generation = 0;
    };

    void shutdown() override;
    void Arm();
    void OnDue();

    asio::steady_timer timer_;
    std::optional<Clock::time_point> armedFor_;
    bool delivering_ = false;  // OnDue arms the timer once it has delivered
    std::deque<Tick> ticks_;   // in due order
    std::vector<Place> places_;
    std::vector<std::uint32_t> freePlaces_;
};

}  // namespace cli
