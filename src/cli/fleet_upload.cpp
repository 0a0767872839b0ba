#include "cli/fleet_upload.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

namespace cli {

FleetUpload::FleetUpload(Options options, FleetPrinter& printer)
    : options_(std::move(options)), printer_(printer) {}

std::vector<DeviceRunReport> FleetUpload::Run() {
    std::vector<DeviceRunReport> reports(options_.devices.size());
    if (options_.devices.empty()) {
        return reports;
    }
    // Receives the threads' signals on this thread, one at a time.
    QObject context;
    QEventLoop loop;
    std::vector<std::unique_ptr<DeviceUploadThread>> threads;
    std::size_t remaining = options_.devices.size();

    auto stopOthers = [&threads](int failedIndex) {
        for (auto& thread : threads) {
            if (thread->Index() != failedIndex) {
                thread->RequestStop();
            }
        }
    };

    for (std::size_t i = 0; i < options_.devices.size(); ++i) {
        DeviceUploadThread::Settings settings;
        settings.device = options_.devices[i];
        settings.image = options_.image;
        settings.limits = options_.limits;
        settings.logPipe = options_.logPipe;
        settings.trace = options_.trace;
        auto thread = std::make_unique<DeviceUploadThread>(static_cast<int>(i), settings);
        DeviceUploadThread* raw = thread.get();
        QObject::connect(raw, &DeviceUploadThread::Progress, &context,
                         [this](int index, float percent, int taken, int total) {
                             printer_.Progress(index, percent, taken, total);
                         });
        QObject::connect(raw, &QThread::finished, &context, [&, raw] {
            raw->wait();
            const DeviceRunReport& report = raw->Report();
            reports[static_cast<std::size_t>(raw->Index())] = report;
            printer_.Finished(raw->Index(), report);
            if (options_.failFast && !report.ok && !report.stopped) {
                stopOthers(raw->Index());
            }
            if (--remaining == 0) {
                loop.quit();
            }
        });
        threads.push_back(std::move(thread));
    }

    QTimer render;
    QObject::connect(&render, &QTimer::timeout, &context, [this] { printer_.Render(); });
    render.start(kRenderPeriodMs);
    printer_.Render();
    for (auto& thread : threads) {
        thread->start();
    }
    loop.exec();
    render.stop();
    return reports;
}

}  // namespace cli
