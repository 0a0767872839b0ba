#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/message_box.h"

namespace testing_support {

// The message box every test gives the code under test: keeps each box shown, in order.
class FakeMessageBox : public platform::MessageBoxSink {
  public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned style = 0;
    };

    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override {
        shown.push_back({text, caption, style});
        if (onNext) {
            auto once = std::move(onNext);
            onNext = nullptr;
            once();
        }
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Box& box : shown) {
            texts.push_back(box.text);
        }
        return texts;
    }

    std::vector<Box> shown;
    // Runs once, while the next box is shown (as if the user took a while to close it).
    std::function<void()> onNext;
};

}  // namespace testing_support
