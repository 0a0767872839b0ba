#include "cli/fleet_upload.h"

#include <chrono>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <QCoreApplication>

#include "cli/device_run.h"
#include "net/logging_socket.h"
#include "platform/interrupt_signals_qt.h"
#include "platform/open_file_limit.h"

namespace cli {

namespace {

// Passes every event on, and sees the ends: fail-fast stops and the end of the whole upload.
class EndWatch : public ForwardingUploadEvents {
  public:
    using EndHandler = std::function<void(int index, const DeviceRunReport& report)>;

    EndWatch(UploadEvents& printer, EndHandler onEnd)
        : ForwardingUploadEvents(printer), onEnd_(std::move(onEnd)) {}

    void Finished(int index, const DeviceRunReport& report) override {
        ForwardingUploadEvents::Finished(index, report);
        onEnd_(index, report);
    }

  private:
    EndHandler onEnd_;
};

}  // namespace

FleetUpload::FleetUpload(Options options, UploadEvents& events)
    : options_(std::move(options)), events_(events) {}

bool FleetUpload::CheckSocketBudget(std::size_t deviceCount, std::string& message) {
    const long spare = platform::SpareFileDescriptors();
    if (spare < 0) {
        return true;
    }
    const long allowed = std::max(0L, spare - kSpareDescriptors);
    if (static_cast<long long>(deviceCount) <= allowed) {
        return true;
    }
    message = std::to_string(deviceCount) + " devices need " + std::to_string(deviceCount) +
              " sockets; the open-file limit allows " + std::to_string(allowed) +
              " (raise it with ulimit -n, or upload to fewer devices at once)";
    return false;
}

std::vector<DeviceRunReport> FleetUpload::Run() {
    std::vector<DeviceRunReport> reports(options_.devices.size());
    if (options_.devices.empty()) {
        return reports;
    }
    // One thread, one loop: nothing here needs Asio's locking.
    asio::io_context loop(1);
    // Never opened: formats and writes the connections' log lines for all of them.
    net::LoggingSocket journal(options_.logPipe);
    std::vector<std::unique_ptr<DeviceRun>> runs;
    std::size_t remaining = options_.devices.size();
    bool stopping = false;

    auto stopAll = [&](bool interrupted) {
        stopping = true;
        for (auto& run : runs) {
            run->Stop(interrupted);  // the last end stops the loop
        }
    };
    EndWatch watch(events_, [&](int index, const DeviceRunReport& report) {
        reports[static_cast<std::size_t>(index)] = report;
        if (options_.failFast && !report.ok && !report.stopped && !report.interrupted &&
            !stopping) {
            stopAll(false);
        }
        if (--remaining == 0) {
            loop.stop();
        }
    });

    std::unique_ptr<platform::InterruptSignals> ownInterrupts;
    platform::InterruptSignals* interrupts = options_.interrupts;
    if (interrupts == nullptr && options_.catchSignals) {
        ownInterrupts = std::make_unique<platform::InterruptSignals>(nullptr);
        interrupts = ownInterrupts.get();
    }
    if (interrupts != nullptr) {
        interrupts->SetHandler([&](int status) {
            if (interruptStatus_ == 0) {
                interruptStatus_ = status;
                stopAll(true);
            }
        });
    }

    for (std::size_t i = 0; i < options_.devices.size(); ++i) {
        DeviceRun::Settings settings;
        settings.device = options_.devices[i];
        settings.image = options_.image;
        settings.journal = options_.logPipe != nullptr ? &journal : nullptr;
        settings.trace = options_.trace;
        settings.retries = options_.retries;
        settings.connectTimeoutMs = options_.connectTimeoutMs;
        settings.ackTimeoutMs = options_.ackTimeoutMs;
        settings.paceMs = options_.paceMs;
        runs.push_back(std::make_unique<DeviceRun>(loop, static_cast<int>(i), settings, watch));
    }

    asio::steady_timer render(loop);
    std::function<void()> renderLater = [&] {
        render.expires_after(std::chrono::milliseconds(kRenderPeriodMs));
        render.async_wait([&](asio::error_code ec) {
            if (!ec) {
                watch.Render();
                renderLater();
            }
        });
    };
    watch.Render();
    renderLater();
    // A connect is a run's costliest step (on loopback the whole handshake happens inside the
    // call): the runs start a few at a time, one batch per turn of the loop, so that the ticks
    // and answers of the runs already going never wait behind thousands of connects, and the
    // runs' ticks spread over the pace instead of all coming at once.
    std::size_t started = 0;
    std::function<void()> startSome = [&] {
        const std::size_t end = std::min(runs.size(), started + kStartsPerTurn);
        for (; started < end && !stopping; ++started) {
            runs[started]->Start();
        }
        if (started < runs.size() && !stopping) {
            asio::post(loop, startSome);
        }
    };
    startSome();
    // Qt's own work on this thread (the signals' notifier, the log listener, a simulator in the
    // same process) runs between slices of the Asio loop; Qt sees none of the devices' sockets.
    while (remaining > 0) {
        loop.run_for(std::chrono::milliseconds(kQtSliceMs));
        if (remaining > 0) {
            QCoreApplication::processEvents();
        }
    }
    render.cancel();
    if (interrupts != nullptr) {
        interrupts->SetHandler(nullptr);  // it refers to this call's locals
    }
    return reports;
}

}  // namespace cli
