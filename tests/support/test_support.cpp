#include "support/test_support.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace testing_support {

TempDir::TempDir() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("vellumix-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    std::abort();
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Make read-only folders removable again before deleting.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(const std::string& relative,
                                     const std::string& content) const {
    const auto full = path_ / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out << content;
    return full;
}

std::map<std::string, std::string> PrivateLogPipe(const std::filesystem::path& runtime) {
    constexpr std::size_t kKeptCharacters = 120;
    std::string name = runtime.string();
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '-';
        }
    }
    if (name.size() > kKeptCharacters) {
        name.erase(0, name.size() - kKeptCharacters);
    }
    return {{"XDG_RUNTIME_DIR", runtime.string()}, {"VELLUMIX_LOG_PIPE", "vellumix-" + name}};
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string CliPath() {
    return VELLUMIX_CLI_PATH;
}

std::filesystem::path ExamplesPath() {
    return VELLUMIX_EXAMPLES_PATH;
}

}  // namespace testing_support
