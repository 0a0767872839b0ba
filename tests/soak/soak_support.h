#pragma once

// What a long run of uploads is watched for: the process's resident memory and its open file
// descriptors, read from /proc, and a few helpers shared by the soak tests.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "packer/pack_limits.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "support/fake_message_box.h"

namespace soak {

// One small file and a directory of 4 entries: an image under 1 KiB, so an upload is the magic
// frame, one block (2 frames) and the closing tick, about 0.6 s.
inline constexpr std::int32_t kEntries = 4;
inline constexpr std::size_t kFileBytes = 600;
// Uploads before the figures are taken as the baseline: caches, pools and lazily made objects
// have settled by then.
inline constexpr int kWarmUpUploads = 10;
// Resident memory an allocator may still move about after warm-up without anything leaking.
inline constexpr long kRssSlackKiB = 2048;
inline constexpr int kUploadWaitMs = 10000;

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            previous_ = old;
            hadValue_ = true;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (hadValue_) {
            setenv(name_.c_str(), previous_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::string previous_;
    bool hadValue_ = false;
};

struct Figures {
    long rssKiB = 0;
    int descriptors = 0;
};

inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

inline int OpenDescriptors() {
    int count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

inline Figures Measure() {
    return {ResidentKiB(), OpenDescriptors()};
}

// Runs the event loop until `done` or the deadline; returns done().
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = kUploadWaitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeoutMs) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// The content of the one file: varied bytes, so a shifted or torn image shows.
inline std::string FileContent() {
    std::string content(kFileBytes, '\0');
    for (std::size_t i = 0; i < kFileBytes; ++i) {
        content[i] = static_cast<char>(i * 31 + 7);
    }
    return content;
}

// The image the device must receive: the folder packed once, outside the runs.
inline std::vector<std::uint8_t> PackedImage(const std::string& folder,
                                             const packer::PackLimits& limits) {
    packer::WebFileTable table(limits.maxFileCount);
    packer::WebImage image;
    testing_support::FakeMessageBox quiet;
    if (packer::BuildWebImage(folder, limits, table, image, quiet) != 1) {
        return {};
    }
    image.imageBuffer.resize(static_cast<std::size_t>(image.usedLength));
    return image.imageBuffer;
}

// Memory and descriptors after the warm-up uploads, and the highest values seen after it.
struct GrowthWatch {
    Figures baseline;
    Figures peak;

    // Notes the figures after `uploadsDone` uploads.
    void Note(int uploadsDone, const Figures& now) {
        if (uploadsDone == kWarmUpUploads) {
            baseline = now;
            peak = now;
        } else if (uploadsDone > kWarmUpUploads) {
            peak.rssKiB = std::max(peak.rssKiB, now.rssKiB);
            peak.descriptors = std::max(peak.descriptors, now.descriptors);
        }
    }
};

}  // namespace soak
