#include "cli/device_list.h"

#include <algorithm>
#include <cctype>

namespace cli {

namespace {

constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
constexpr char kCommentMark = '#';

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::optional<int> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    const int port = std::stoi(text);
    if (port < kMinPort || port > kMaxPort) {
        return std::nullopt;
    }
    return port;
}

// Refuses a device named twice: two uploads to one device at once would fight for it.
std::string FindDuplicate(const std::vector<DeviceAddress>& devices) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (devices[i] == devices[j]) {
                return "device listed twice: " + devices[i].Label();
            }
        }
    }
    return {};
}

}  // namespace

std::string DeviceAddress::Label() const {
    return host + ":" + std::to_string(port);
}

std::optional<DeviceAddress> ParseDeviceAddress(const std::string& text, int defaultPort,
                                                std::string& error) {
    if (text.empty()) {
        error = "empty device address";
        return std::nullopt;
    }
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; })) {
        error = "blank inside the device address \"" + text + "\"";
        return std::nullopt;
    }
    DeviceAddress device;
    device.port = defaultPort;
    const std::size_t colon = text.rfind(':');
    device.host = text.substr(0, colon);
    if (colon != std::string::npos) {
        const auto port = ParsePort(text.substr(colon + 1));
        if (!port) {
            error = "bad port in \"" + text + "\" (1 to 65535)";
            return std::nullopt;
        }
        device.port = *port;
    }
    if (device.host.empty()) {
        error = "no address in \"" + text + "\"";
        return std::nullopt;
    }
    return device;
}

DeviceListResult ParseDeviceList(const std::string& text, int defaultPort) {
    DeviceListResult result;
    std::size_t lineStart = 0;
    int lineNumber = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos) {
            lineEnd = text.size();
        }
        ++lineNumber;
        std::string line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;

        const std::size_t comment = line.find(kCommentMark);
        if (comment != std::string::npos) {
            line.erase(comment);
        }
        line = Trim(line);
        if (line.empty()) {
            continue;
        }
        std::string error;
        const auto device = ParseDeviceAddress(line, defaultPort, error);
        if (!device) {
            return DeviceListResult{{}, "line " + std::to_string(lineNumber) + ": " + error};
        }
        result.devices.push_back(*device);
    }
    if (auto duplicate = FindDuplicate(result.devices); !duplicate.empty()) {
        return DeviceListResult{{}, duplicate};
    }
    return result;
}

DeviceListResult CombineDevices(const std::vector<std::string>& given, const std::string& fileText,
                                int defaultPort) {
    DeviceListResult result;
    for (const auto& text : given) {
        std::string error;
        const auto device = ParseDeviceAddress(text, defaultPort, error);
        if (!device) {
            return DeviceListResult{{}, error};
        }
        result.devices.push_back(*device);
    }
    const DeviceListResult fromFile = ParseDeviceList(fileText, defaultPort);
    if (!fromFile.ok()) {
        return fromFile;
    }
    result.devices.insert(result.devices.end(), fromFile.devices.begin(), fromFile.devices.end());
    if (auto duplicate = FindDuplicate(result.devices); !duplicate.empty()) {
        return DeviceListResult{{}, duplicate};
    }
    return result;
}

}  // namespace cli
