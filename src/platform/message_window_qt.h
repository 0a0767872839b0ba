#pragma once

#include <functional>
#include <map>
#include <memory>

#include <QObject>

#include "platform/window_messages.h"

class QTimer;

namespace platform {

// Stand-in for a window's message queue: posted messages and numbered timers, both delivered
// from the Qt event loop of the thread that owns the object, one at a time.
//
// A blocking socket call (platform/async_socket_qt.h) does not run the event loop, so neither
// posted messages nor timer ticks are handled while it waits.
class MessageWindow : public QObject, public MessageTarget {
    Q_OBJECT

  public:
    using MessageHandler = std::function<void(unsigned message, WParam wParam, LParam lParam)>;
    using TimerHandler = std::function<void(unsigned timerId)>;

    explicit MessageWindow(QObject* parent = nullptr);
    ~MessageWindow() override;

    void SetMessageHandler(MessageHandler handler) { messageHandler_ = std::move(handler); }
    void SetTimerHandler(TimerHandler handler) { timerHandler_ = std::move(handler); }

    // Queues the message; the handler sees it after the caller has returned to the event loop.
    void PostMessage(unsigned message, WParam wParam, LParam lParam) override;

    // Starts (or restarts the period of) timer `timerId`; ticks use Qt's precise timers.
    void SetTimer(unsigned timerId, int periodMs);
    // Stops timer `timerId`; no tick of it is delivered afterwards. Unknown ids are ignored.
    void KillTimer(unsigned timerId);
    bool IsTimerRunning(unsigned timerId) const;

  protected:
    void customEvent(QEvent* event) override;

  private:
    MessageHandler messageHandler_;
    TimerHandler timerHandler_;
    std::map<unsigned, std::unique_ptr<QTimer>> timers_;
};

}  // namespace platform
