#include "cli/fleet_upload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <QCoreApplication>

#include "cli/device_run.h"
#include "cli/event_relay.h"
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

// A loop on a thread of its own, with the runs it hosts, their log lines and their events'
// way to the calling thread. Stops and joins its thread when it goes.
struct HelperLoop {
    HelperLoop(app::LogPipe* logPipe, UploadEvents& target)
        : journal(logPipe), relay(target, target.WantsSteps()) {}
    HelperLoop(const HelperLoop&) = delete;
    HelperLoop& operator=(const HelperLoop&) = delete;
    ~HelperLoop() { Join(); }

    void Launch() {
        thread = std::thread([this] {
            const auto work = asio::make_work_guard(loop);
            loop.run();
        });
    }
    void Join() {
        loop.stop();
        if (thread.joinable()) {
            thread.join();
        }
    }

    asio::io_context loop{1};    // one thread: its own
    net::LoggingSocket journal;  // its buffers are the loop's own
    EventRelay relay;
    std::vector<DeviceRun*> runs;
    std::thread thread;
};

// Starts `runs` from `from` on, kStartsPerTurn in one turn of `loop`, until every one has
// started or `stopping` is set. A connect is a run's costliest step (on loopback the whole
// handshake happens inside the call): batches keep the ticks and answers of the runs already
// going from waiting behind thousands of connects, and spread the runs' ticks over the pace
// instead of all coming at once.
void StartInTurns(asio::io_context& loop, const std::vector<DeviceRun*>& runs, std::size_t from,
                  const std::atomic<bool>& stopping) {
    const std::size_t end = std::min(runs.size(), from + FleetUpload::kStartsPerTurn);
    for (; from < end && !stopping; ++from) {
        runs[from]->Start();
    }
    if (from < runs.size() && !stopping) {
        asio::post(loop,
                   [&loop, &runs, from, &stopping] { StartInTurns(loop, runs, from, stopping); });
    }
}

}  // namespace

std::size_t FleetUpload::LoopCount(std::size_t deviceCount, std::size_t processors,
                                   std::size_t asked) {
    if (asked > 0) {
        return std::clamp<std::size_t>(asked, 1, std::max<std::size_t>(deviceCount, 1));
    }
    const std::size_t wanted = (deviceCount + kDevicesPerLoop - 1) / kDevicesPerLoop;
    return std::clamp<std::size_t>(std::min(wanted, std::max<std::size_t>(processors, 1)), 1,
                                   kMostLoops);
}

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
    // The calling thread's loop: its share of the runs, every event, the rendering, the stops.
    asio::io_context loop(1);
    // Never opened: formats and writes the connections' log lines for the runs of this loop.
    net::LoggingSocket journal(options_.logPipe);
    std::size_t remaining = options_.devices.size();
    std::atomic<bool> stopping = false;
    std::vector<DeviceRun*> ownRuns;
    std::vector<std::unique_ptr<HelperLoop>> helpers;

    auto stopAll = [&](bool interrupted) {
        stopping = true;
        for (DeviceRun* run : ownRuns) {
            run->Stop(interrupted);  // the last end stops the loop
        }
        for (auto& helper : helpers) {
            asio::post(helper->loop, [&runs = helper->runs, interrupted] {
                for (DeviceRun* run : runs) {
                    run->Stop(interrupted);
                }
            });
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

    const std::size_t loopCount =
        LoopCount(options_.devices.size(), std::thread::hardware_concurrency(), options_.loops);
    for (std::size_t i = 1; i < loopCount; ++i) {
        helpers.push_back(std::make_unique<HelperLoop>(options_.logPipe, watch));
    }
    // Dealt out in turn, so that every loop starts its runs in the fleet's order.
    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (std::size_t i = 0; i < options_.devices.size(); ++i) {
        DeviceRun::Settings settings;
        settings.device = options_.devices[i];
        settings.image = options_.image;
        settings.trace = options_.trace;
        settings.retries = options_.retries;
        settings.connectTimeoutMs = options_.connectTimeoutMs;
        settings.ackTimeoutMs = options_.ackTimeoutMs;
        settings.paceMs = options_.paceMs;
        const std::size_t at = i % loopCount;
        if (at == 0) {
            settings.journal = options_.logPipe != nullptr ? &journal : nullptr;
            runs.push_back(std::make_unique<DeviceRun>(loop, static_cast<int>(i), settings, watch));
            ownRuns.push_back(runs.back().get());
        } else {
            HelperLoop& helper = *helpers[at - 1];
            settings.journal = options_.logPipe != nullptr ? &helper.journal : nullptr;
            runs.push_back(std::make_unique<DeviceRun>(helper.loop, static_cast<int>(i), settings,
                                                       helper.relay));
            helper.runs.push_back(runs.back().get());
        }
    }

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
    for (auto& helper : helpers) {
        asio::post(helper->loop, [&helper = *helper, &stopping] {
            StartInTurns(helper.loop, helper.runs, 0, stopping);
        });
        helper->Launch();
    }
    StartInTurns(loop, ownRuns, 0, stopping);
    // The other loops' events, and Qt's own work on this thread (the signals' notifier, the log
    // listener, a simulator in the same process), come between slices of this loop; Qt sees
    // none of the devices' sockets.
    while (remaining > 0) {
        loop.run_for(std::chrono::milliseconds(kQtSliceMs));
        for (auto& helper : helpers) {
            helper->relay.Deliver();
        }
        if (remaining > 0) {
            QCoreApplication::processEvents();
        }
    }
    render.cancel();
    if (interrupts != nullptr) {
        interrupts->SetHandler(nullptr);  // it refers to this call's locals
    }
    // Every run has ended; the runs go (below) once no loop runs their handlers any more.
    for (auto& helper : helpers) {
        helper->Join();
    }
    runs.clear();
    return reports;
}

}  // namespace cli
