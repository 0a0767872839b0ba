#include "platform/message_window_qt.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

namespace platform {

namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedMessageEvent : public QEvent {
  public:
    PostedMessageEvent(unsigned message, WParam wParam, LParam lParam)
        : QEvent(kPostedMessageEvent), message_(message), wParam_(wParam), lParam_(lParam) {}

    unsigned message_ = 0;
    WParam wParam_ = 0;
    LParam lParam_ = 0;
};

}  // namespace

MessageWindow::MessageWindow(QObject* parent) : QObject(parent) {}

MessageWindow::~MessageWindow() = default;

void MessageWindow::PostMessage(unsigned message, WParam wParam, LParam lParam) {
    QCoreApplication::postEvent(this, new PostedMessageEvent(message, wParam, lParam));
}

void MessageWindow::SetTimer(unsigned timerId, int periodMs) {
    auto& timer = timers_[timerId];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer.get(), &QTimer::timeout, this, [this, timerId] {
            if (timerHandler_) {
                timerHandler_(timerId);
            }
        });
    }
    timer->start(periodMs);
}

void MessageWindow::KillTimer(unsigned timerId) {
    auto found = timers_.find(timerId);
    if (found != timers_.end()) {
        found->second->stop();
    }
}

bool MessageWindow::IsTimerRunning(unsigned timerId) const {
    auto found = timers_.find(timerId);
    return found != timers_.end() && found->second->isActive();
}

void MessageWindow::customEvent(QEvent* event) {
    if (event->type() != kPostedMessageEvent) {
        QObject::customEvent(event);
        return;
    }
    const auto* posted = static_cast<PostedMessageEvent*>(event);
    if (messageHandler_) {
        messageHandler_(posted->message_, posted->wParam_, posted->lParam_);
    }
}

}  // namespace platform
