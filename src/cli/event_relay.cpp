#include "cli/event_relay.h"

namespace cli {

void EventRelay::Progress(int index, float percent, int framesTaken, int totalFrames) {
    Event event;
    event.kind = Kind::kProgress;
    event.index = index;
    event.percent = percent;
    event.first = framesTaken;
    event.second = totalFrames;
    Queue(std::move(event));
}

void EventRelay::Message(int index, const std::string& text, const std::string& caption,
                         unsigned style) {
    Event event;
    event.kind = Kind::kMessage;
    event.index = index;
    event.first = static_cast<int>(style);
    event.text = text;
    event.detail = caption;
    Queue(std::move(event));
}

void EventRelay::Attempt(int index, int attempt, int attempts, int pauseMs,
                         const std::string& message, const std::string& cause) {
    Event event;
    event.kind = Kind::kAttempt;
    event.index = index;
    event.first = attempt;
    event.second = attempts;
    event.third = pauseMs;
    event.text = message;
    event.detail = cause;
    Queue(std::move(event));
}

void EventRelay::Finished(int index, const DeviceRunReport& report) {
    Event event;
    event.kind = Kind::kFinished;
    event.index = index;
    event.report = std::make_unique<DeviceRunReport>(report);
    Queue(std::move(event));
}

void EventRelay::Step(int index, const std::string& line) {
    Event event;
    event.kind = Kind::kStep;
    event.index = index;
    event.text = line;
    Queue(std::move(event));
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
