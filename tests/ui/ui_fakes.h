#pragma once

// Fakes and helpers shared by the widget tests: every collaborator of the main window that
// could reach a user, a file or the network is replaced by one that records what it was asked.

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/web_path_store.h"
#include "platform/message_box.h"
#include "platform/window_messages.h"
#include "support/fake_message_box.h"
#include "transfer/device_link.h"
#include "transfer/upload_sequencer.h"
#include "ui/folder_chooser.h"

namespace ui_test {

class MemoryPathStore : public app::WebPathStore {
  public:
    std::string LoadWebPath() override { return stored; }
    void SaveWebPath(const std::string& path) override {
        stored = path;
        ++saves;
    }
    // A path the settings file cannot hold (on Windows: one the ANSI code page lacks).
    bool HasStoredForm(const std::string& path) const override { return path != unstorable; }
    std::string stored;
    std::string unstorable;
    int saves = 0;
};

// Answers the folder browser with a scripted result and records how it was opened.
class ScriptedChooser : public ui::FolderChooser {
  public:
    std::optional<std::string> ChooseFolder(QWidget* /*owner*/, const std::string& title,
                                            const std::string& startFolder) override {
        ++calls;
        lastTitle = title;
        lastStartFolder = startFolder;
        return answer;
    }
    std::optional<std::string> answer;
    int calls = 0;
    std::string lastTitle;
    std::string lastStartFolder;
};

// Time that never moves, so no acknowledgement is ever late unless a test says so.
class FixedClock : public transfer::Clock {
  public:
    platform::LocalTime Now() override { return now; }
    platform::LocalTime now{2024, 5, 3, 17, 12, 0, 0, 0};
};

// What happened to the links a test made.
struct LinkLog {
    int created = 0;
    int closed = 0;
    std::string address;
    int port = 0;
    std::vector<std::vector<std::uint8_t>> sent;
};

// A connection to a device that exists only in the test. With `answerOk` it acknowledges every
// frame by posting a receive of "OK", as a device that answers at once would.
class FakeLink : public transfer::DeviceLink {
  public:
    FakeLink(LinkLog& log, bool answerOk) : log_(log), answerOk_(answerOk) { ++log_.created; }

    bool Create(unsigned, int, long, const char*) override { return true; }
    void SetNotifyWindow(platform::MessageTarget* window) override { window_ = window; }
    bool Connect(const std::string& address, int port) override {
        log_.address = address;
        log_.port = port;
        return true;
    }
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override {
        log_.sent.emplace_back(data, data + length);
        if (answerOk_ && window_ != nullptr) {
            window_->PostMessage(platform::WM_DEVICE_RECEIVE, 0, 0);
        }
        return true;
    }
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override {
        std::memcpy(destination, "OK", 2);
        outLength = 2;
    }
    void Close() override { ++log_.closed; }

  private:
    LinkLog& log_;
    bool answerOk_ = false;
    platform::MessageTarget* window_ = nullptr;
};

// Runs `inspect` on the next modal dialog that opens (polling every 10 ms), then closes it
// with `close` (or reject()), so the exec() that opened it returns. Stops looking after
// `timeoutMs`.
inline void HandleNextModal(std::function<void(QWidget*)> inspect,
                            std::function<void(QDialog*)> close = {}, int timeoutMs = 3000) {
    auto* poll = new QTimer;
    auto elapsed = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        *elapsed += 10;
        QWidget* modal = QApplication::activeModalWidget();
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (dialog != nullptr) {
            poll->stop();
            poll->deleteLater();
            if (inspect) {
                inspect(dialog);
            }
            if (close) {
                close(dialog);
            } else {
                dialog->reject();
            }
            return;
        }
        if (*elapsed >= timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(10);
}

}  // namespace ui_test
