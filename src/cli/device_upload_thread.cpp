#include "cli/device_upload_thread.h"

#include <chrono>

#include <QTimer>

#include "cli/upload_host.h"
#include "net/device_socket.h"
#include "platform/message_box.h"
#include "transfer/ack_trace_link.h"

namespace cli {

namespace {

// The device socket of a run that may be asked to stop: a blocking connect or send gives up at
// its next wake-up once the stop flag is set.
class StoppableDeviceSocket : public net::DeviceSocket {
  public:
    StoppableDeviceSocket(app::LogPipe* logPipe, const std::atomic<bool>& stop)
        : net::DeviceSocket(logPipe), stop_(stop) {}

    bool OnMessagePending() override {
        if (stop_.load()) {
            CancelBlockingCall();
            return false;
        }
        return net::DeviceSocket::OnMessagePending();
    }

  private:
    const std::atomic<bool>& stop_;
};

// The messages of one run: the last one is the run's result text.
class RunMessages : public platform::MessageBoxSink {
  public:
    void MessageBox(const std::string& text, const std::string&, unsigned) override {
        lastText_ = text;
    }

    const std::string& LastText() const { return lastText_; }

  private:
    std::string lastText_;
};

}  // namespace

DeviceUploadThread::DeviceUploadThread(int index, Settings settings, QObject* parent)
    : QThread(parent), index_(index), settings_(std::move(settings)) {
    report_.device = settings_.device;
}

DeviceUploadThread::~DeviceUploadThread() {
    RequestStop();
    wait();
}

void DeviceUploadThread::RequestStop() {
    stopRequested_.store(true);
}

void DeviceUploadThread::run() {
    const auto started = std::chrono::steady_clock::now();
    RunMessages messages;

    UploadHost::Options options;
    options.address = settings_.device.host;
    options.port = settings_.device.port;
    options.limits = settings_.limits;
    options.applicationName = settings_.applicationName;
    UploadHost host(options, settings_.image, settings_.logPipe, messages);

    int lastTaken = -1;
    host.SetProgressCallback([this, &lastTaken](float percent, int taken, int total) {
        if (total > 0 && taken != lastTaken) {
            lastTaken = taken;
            emit Progress(index_, percent, taken, total);
        }
    });
    if (settings_.trace) {
        report_.trace = std::make_shared<transfer::AckTrace>();
    }
    host.SetLinkFactory([this]() -> std::unique_ptr<transfer::DeviceLink> {
        auto socket = std::make_unique<StoppableDeviceSocket>(settings_.logPipe, stopRequested_);
        if (report_.trace) {
            return std::make_unique<transfer::AckTraceLink>(std::move(socket), *report_.trace);
        }
        return socket;
    });

    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, [this, &host] {
        if (stopRequested_.load()) {
            host.Abandon();
        }
    });
    stopPoll.start(kStopPollMs);

    const bool ok = !stopRequested_.load() && host.Run();
    stopPoll.stop();

    report_.ok = ok;
    report_.stopped = !ok && stopRequested_.load();
    report_.message = messages.LastText();
    report_.framesTaken = host.FramesTaken();
    report_.totalFrames = host.TotalFrames();
    report_.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
}

}  // namespace cli
