#include "cli/event_relay.h"

namespace cli {

void EventRelay::Progress(int index, float percent, int framesTaken, int totalFrames) {
    Queue({.kind = Kind::kProgress,
           .index = index,
           .percent = percent,
           .first = framesTaken,
           .second = totalFrames});
}

void EventRelay::Message(int index, const std::string& text, const std::string& caption,
                         unsigned style) {
    Queue({.kind = Kind::kMessage,
           .index = index,
           .first = static_cast<int>(style),
           .text = text,
           .detail = caption});
}

void EventRelay::Attempt(int index, int attempt, int attempts, int pauseMs,
                         const std::string& message, const std::string& cause) {
    Queue({.kind = Kind::kAttempt,
           .index = index,
           .first = attempt,
           .second = attempts,
           .third = pauseMs,
           .text = message,
           .detail = cause});
}

void EventRelay::Finished(int index, const DeviceRunReport& report) {
    Queue({.kind = Kind::kFinished,
           .index = index,
           .report = std::make_unique<DeviceRunReport>(report)});
}

void EventRelay::Step(int index, const std::string& line) {
    Queue({.kind = Kind::kStep, .index = index, .text = line});
}

void EventRelay::Queue(Event event) {
    const std::lock_guard<std::mutex> lock(mutex_);
    queued_.push_back(std::move(event));
}

void EventRelay::Deliver() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        delivering_.swap(queued_);
    }
    for (const Event& event : delivering_) {
        Hand(event);
    }
    delivering_.clear();  // keeps its room for the next batch
}

void EventRelay::Hand(const Event& event) {
    switch (event.kind) {
        case Kind::kProgress:
            target_.Progress(event.index, event.percent, event.first, event.second);
            break;
        case Kind::kMessage:
            target_.Message(event.index, event.text, event.detail,
                            static_cast<unsigned>(event.first));
            break;
        case Kind::kAttempt:
            target_.Attempt(event.index, event.first, event.second, event.third, event.text,
                            event.detail);
            break;
        case Kind::kFinished:
            target_.Finished(event.index, *event.report);
            break;
        case Kind::kStep:
            target_.Step(event.index, event.text);
            break;
    }
}

}  // namespace cli
