#include "cli/engine_ticks.h"

#include <algorithm>

namespace cli {

EngineTicks::EngineTicks(asio::execution_context& context)
    : asio::execution_context::service(context), timer_(static_cast<asio::io_context&>(context)) {}

std::uint32_t EngineTicks::Join(Client& client) {
    std::uint32_t place = 0;
    if (!freePlaces_.empty()) {
        place = freePlaces_.back();
        freePlaces_.pop_back();
    } else {
        place = static_cast<std::uint32_t>(places_.size());
        places_.emplace_back();
    }
    places_[place].client = &client;
    return place;
}

void EngineTicks::Leave(std::uint32_t place) {
    if (place >= places_.size() || places_[place].client == nullptr) {
        return;
    }
    places_[place].client = nullptr;
    ++places_[place].generation;  // its ticks still waiting find another generation
    freePlaces_.push_back(place);
}

void EngineTicks::Add(Clock::time_point due, std::uint32_t place, unsigned timerId,
                      unsigned generation) {
    if (place >= places_.size()) {
        return;
    }
    const Tick tick{due, place, places_[place].generation, timerId, generation};
    if (ticks_.empty() || !(due < ticks_.back().due)) {
        ticks_.push_back(tick);
    } else {
        // A tick that came late restarts its period from its due time, which can be before the
        // due time of a tick added meanwhile: it goes in among the last ones.
        const auto at = std::upper_bound(
            ticks_.begin(), ticks_.end(), due,
            [](Clock::time_point value, const Tick& other) { return value < other.due; });
        ticks_.insert(at, tick);
    }
    if (!delivering_ && (!armedFor_ || due < *armedFor_)) {
        Arm();
    }
}

void EngineTicks::Arm() {
    if (ticks_.empty()) {
        return;
    }
    armedFor_ = ticks_.front().due;
    timer_.expires_at(*armedFor_);
    timer_.async_wait([this](asio::error_code ec) {
        if (!ec) {
            OnDue();
        }
    });
}

void EngineTicks::OnDue() {
    armedFor_.reset();
    delivering_ = true;
    const Clock::time_point now = Clock::now();
    // Only the ticks waiting now: one that a client adds again for a time already past (a
    // period of 0) comes on the next turn of the loop, not in this one forever.
    std::size_t waiting = ticks_.size();
    while (waiting-- > 0 && !ticks_.empty() && !(now < ticks_.front().due)) {
        const Tick tick = ticks_.front();
        ticks_.pop_front();
        const Place& place = places_[tick.place];
        if (place.client != nullptr && place.generation == tick.placeGeneration) {
            place.client->OnTick(tick.timerId, tick.generation);
        }
    }
    delivering_ = false;
    Arm();
}

void EngineTicks::shutdown() {
    ticks_.clear();
}

}  // namespace cli
