#include "cli/device_list.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <utility>

#include "packer/printable_name.h"
#include "platform/async_socket_qt.h"
#include "transfer/ipv4_text.h"

namespace cli {

namespace {

// A device address refused for `why` (no system error behind it).
platform::Error Refused(std::string why) {
    return platform::Error{0, std::move(why)};
}

constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
constexpr char kCommentMark = '#';
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kMaxHostNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

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

// A dotted IPv4 address or a host name: dot-separated labels of letters, digits, '-' and '_'.
// Whether it resolves is left to the connection.
bool IsHostText(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostNameLength) {
        return false;
    }
    std::size_t labelLength = 0;
    for (const char c : host) {
        if (c == '.') {
            if (labelLength == 0) {
                return false;
            }
            labelLength = 0;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 || (std::isalnum(byte) == 0 && c != '-' && c != '_') ||
            ++labelLength > kMaxLabelLength) {
            return false;
        }
    }
    return labelLength > 0;
}

// One device, where it was named ("line N: " in a file, empty on the command line) and as it
// was written there (127.0.0.010:8001 for the device 127.0.0.10:8001).
struct ListedDevice {
    DeviceAddress device;
    std::string where;
    std::string given;
};

// Refuses a device named twice, also under two names (localhost and 127.0.0.1): two uploads to
// one device at once would fight for it. Names that do not resolve are compared as text.
std::string FindDuplicate(const std::vector<ListedDevice>& devices) {
    std::map<std::string, std::optional<std::uint32_t>> resolved;  // per host text
    std::map<std::pair<std::string, int>, std::size_t> seen;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceAddress& device = devices[i].device;
        auto found = resolved.find(device.host);
        if (found == resolved.end()) {
            std::uint32_t address = 0;
            std::optional<std::uint32_t> result;
            if (platform::ResolveHostAddress(device.host, address)) {
                result = address;
            }
            found = resolved.emplace(device.host, result).first;
        }
        std::string key;
        if (found->second) {
            key = "#" + std::to_string(*found->second);  // '#' never starts a host name
        } else {
            key = device.host;
            std::transform(key.begin(), key.end(), key.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        }
        const auto [earlier, added] = seen.emplace(std::make_pair(key, device.port), i);
        if (!added) {
            const std::string& first = devices[earlier->second].given;
            std::string error = devices[i].where + "device listed twice: " + devices[i].given;
            if (first != devices[i].given) {
                error += " (the same device as " + first + ")";
            }
            return error;
        }
    }
    return {};
}

}  // namespace

std::string DeviceAddress::Label() const {
    return host + ":" + std::to_string(port);
}

platform::Result<DeviceAddress> ParseDeviceAddress(const std::string& text, int defaultPort) {
    if (text.empty()) {
        return Refused("empty device address");
    }
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; })) {
        return Refused("blank inside the device address \"" + packer::PrintableName(text) + "\"");
    }
    DeviceAddress device;
    device.port = defaultPort;
    const std::size_t colon = text.rfind(':');
    device.host = text.substr(0, colon);
    if (colon != std::string::npos) {
        const auto port = ParsePort(text.substr(colon + 1));
        if (!port) {
            return Refused("bad port in \"" + packer::PrintableName(text) + "\" (1 to 65535)");
        }
        device.port = *port;
    }
    if (device.host.empty()) {
        return Refused("no address in \"" + text + "\"");
    }
    if (!IsHostText(device.host)) {
        return Refused("not an address[:port]: \"" + packer::PrintableName(text) + "\"");
    }
    const transfer::Ipv4Text read = transfer::ReadIpv4Text(device.host);
    if (read.kind == transfer::Ipv4Text::Kind::kRefused) {
        return Refused("not an IPv4 address: \"" + device.host + "\" (" + read.reason +
                       "; an address is four decimal fields of 0 to 255)");
    }
    if (read.kind == transfer::Ipv4Text::Kind::kAddress) {
        device.host = transfer::DottedDecimal(read.address);
    }
    return device;
}

namespace {

// "host:port" with the host as written.
std::string GivenLabel(const std::string& text, const DeviceAddress& device) {
    return text.substr(0, text.rfind(':')) + ":" + std::to_string(device.port);
}

// The devices of a file's text; `error` set (and nothing returned) at the first bad line.
std::vector<ListedDevice> ParseLines(const std::string& text, int defaultPort, std::string& error) {
    std::vector<ListedDevice> devices;
    std::size_t lineStart = text.rfind(kByteOrderMark, 0) == 0 ? sizeof kByteOrderMark - 1 : 0;
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
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        const auto device = ParseDeviceAddress(line, defaultPort);
        if (!device) {
            error = where + device.error().text;
            return {};
        }
        devices.push_back({*device, where, GivenLabel(line, *device)});
    }
    return devices;
}

DeviceListResult Checked(const std::vector<ListedDevice>& listed) {
    if (auto duplicate = FindDuplicate(listed); !duplicate.empty()) {
        return DeviceListResult{{}, duplicate};
    }
    DeviceListResult result;
    for (const auto& entry : listed) {
        result.devices.push_back(entry.device);
    }
    return result;
}

}  // namespace

DeviceListResult CombineDevices(const std::vector<std::string>& given, const std::string& fileText,
                                int defaultPort) {
    std::vector<ListedDevice> listed;
    for (const auto& text : given) {
        const auto device = ParseDeviceAddress(text, defaultPort);
        if (!device) {
            return DeviceListResult{{}, device.error().text};
        }
        listed.push_back({*device, {}, GivenLabel(text, *device)});
    }
    std::string error;
    const std::vector<ListedDevice> fromFile = ParseLines(fileText, defaultPort, error);
    if (!error.empty()) {
        return DeviceListResult{{}, error};
    }
    listed.insert(listed.end(), fromFile.begin(), fromFile.end());
    return Checked(listed);
}

}  // namespace cli
