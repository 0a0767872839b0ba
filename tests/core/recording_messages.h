#pragma once

#include <string>
#include <vector>

#include "platform/message_box.h"

namespace testing_support {

// Keeps every message box the code under test shows, in order.
class RecordingMessages : public platform::MessageBoxSink {
  public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned style = 0;
    };

    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override {
        boxes.push_back({text, caption, style});
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const Box& box : boxes) {
            texts.push_back(box.text);
        }
        return texts;
    }

    std::vector<Box> boxes;
};

}  // namespace testing_support
