#pragma once

#include <QPointer>
#include <QWidget>
#include <string>

#include "platform/message_box.h"

namespace ui {

// Shows each message as a modal Qt message box with one OK button, the caption and the text
// exactly as given (plain text: no markup, an ampersand stays an ampersand). The icon comes
// from the style's icon bits: 16 stop (critical), 32 question, 48 exclamation (warning),
// 64 information, none otherwise.
class QtMessageBox : public platform::MessageBoxSink {
  public:
    explicit QtMessageBox(QWidget* owner = nullptr) : owner_(owner) {}

    // The window the boxes are modal over; none for a box before any window exists.
    void SetOwner(QWidget* owner) { owner_ = owner; }

    // Shows the system's own message box instead, where the system has one (Windows): the
    // desktop program turns this on, tests leave it off.
    void UseSystemBoxes(bool use) { useSystemBoxes_ = use; }

    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override;

  private:
    QPointer<QWidget> owner_;
    bool useSystemBoxes_ = false;
};

}  // namespace ui
