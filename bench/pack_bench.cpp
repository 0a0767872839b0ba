// Time to build a web image: the default 192 KiB image, and folders of 1k, 10k and 100k small
// files (1..600 bytes, 500 per folder). The folders are generated once per run into a temporary
// folder and removed at exit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "packer/pack_limits.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "platform/message_box.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFilesPerFolder = 500;
constexpr int kMaxSmallFileBytes = 600;
constexpr std::int32_t kLargeRomBytes = 64 * 1024 * 1024;  // the settings' upper bound
constexpr std::int32_t kDefaultRomBytes = 196608;
constexpr int kDefaultFileCount = 40;

class SilentMessages : public platform::MessageBoxSink {
  public:
    void MessageBox(const std::string& text, const std::string&, unsigned) override {
        std::fprintf(stderr, "pack_bench: %s\n", text.c_str());
    }
};

// The generated folders, one per shape, removed with the process.
class Corpus {
  public:
    Corpus() {
        root_ = fs::temp_directory_path() / ("vellumix-pack-bench-" + std::to_string(::getpid()));
        fs::create_directories(root_);
    }
    ~Corpus() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    Corpus(const Corpus&) = delete;
    Corpus& operator=(const Corpus&) = delete;

    // `fileCount` files of 1..600 bytes in folders of 500.
    std::string SmallFiles(int fileCount) {
        const std::string key = "small-" + std::to_string(fileCount);
        if (auto found = made_.find(key); found != made_.end()) {
            return found->second;
        }
        const fs::path folder = root_ / key;
        std::mt19937 random(static_cast<unsigned>(fileCount));
        std::uniform_int_distribution<int> size(1, kMaxSmallFileBytes);
        const std::string content(kMaxSmallFileBytes, 'w');
        for (int i = 0; i < fileCount; ++i) {
            const fs::path sub = folder / ("d" + std::to_string(i / kFilesPerFolder));
            if (i % kFilesPerFolder == 0) {
                fs::create_directories(sub);
            }
            std::ofstream(sub / ("f" + std::to_string(i) + ".htm"), std::ios::binary)
                .write(content.data(), size(random));
        }
        return made_[key] = folder.string();
    }

    // 40 files that together fill the default image almost to the last byte.
    std::string DefaultImage() {
        const std::string key = "default";
        if (auto found = made_.find(key); found != made_.end()) {
            return found->second;
        }
        const fs::path folder = root_ / key;
        fs::create_directories(folder / "img");
        const int contentBytes = kDefaultRomBytes - kDefaultFileCount * 32;
        const int each = contentBytes / kDefaultFileCount;
        const std::string content(static_cast<std::size_t>(each), 'p');
        for (int i = 0; i < kDefaultFileCount; ++i) {
            const fs::path file =
                (i % 2 == 0 ? folder : folder / "img") / ("page" + std::to_string(i) + ".htm");
            std::ofstream(file, std::ios::binary).write(content.data(), each);
        }
        return made_[key] = folder.string();
    }

  private:
    fs::path root_;
    std::map<std::string, std::string> made_;
};

Corpus& TheCorpus() {
    static Corpus corpus;
    return corpus;
}

void RunBuilds(benchmark::State& state, const std::string& folder, packer::PackLimits limits) {
    packer::WebFileTable table(limits.maxFileCount);
    packer::WebImage image;
    image.imageBuffer.resize(2 * static_cast<std::size_t>(limits.maxRomBytes));
    SilentMessages messages;
    for (auto _ : state) {
        const int built = packer::BuildWebImage(folder, limits, table, image, messages);
        if (built != 1) {
            state.SkipWithError("build failed");
            return;
        }
        benchmark::DoNotOptimize(image.usedLength);
    }
    state.counters["files"] = table.CountWebFiles();
    state.counters["bytes"] = image.usedLength;
}

void BM_PackDefaultImage(benchmark::State& state) {
    RunBuilds(state, TheCorpus().DefaultImage(), {kDefaultRomBytes, kDefaultFileCount});
}
BENCHMARK(BM_PackDefaultImage)->Unit(benchmark::kMillisecond);

void BM_PackSmallFiles(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    RunBuilds(state, TheCorpus().SmallFiles(files), {kLargeRomBytes, files});
}
BENCHMARK(BM_PackSmallFiles)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
