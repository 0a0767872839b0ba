#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace cli {

// One device to upload to.
struct DeviceAddress {
    std::string host;  // dotted IPv4 address or host name
    int port = 0;

    // "host:port", as devices are named in every report.
    std::string Label() const;
    bool operator==(const DeviceAddress&) const = default;
};

struct DeviceListResult {
    std::vector<DeviceAddress> devices;  // in the order given
    std::string error;                   // set when the list is refused; devices is then empty
    bool ok() const { return error.empty(); }
};

// "address" or "address:port" (port 1..65535, digits only). The address is a dotted IPv4
// address (four decimal fields, leading zeros allowed: kept without them, as 127.0.0.10 for
// 127.0.0.010) or a host name (dot-separated labels of letters, digits, '-' and '_'); it is not
// resolved here, and whether a connection may be made to it is the connection's to say.
// Fails when the text is empty, holds white space or anything else, looks like a number but is
// no such address (127.1, 0x7f.0.0.1, 127.0.0.256), or the port is bad.
platform::Result<DeviceAddress> ParseDeviceAddress(const std::string& text, int defaultPort);

// The devices named on the command line, then those of the devices file's text, checked as one
// list. The file: one address[:port] a line; a UTF-8 byte-order mark at the start, leading and
// trailing blanks, blank lines, and everything from a '#' to the end of its line are ignored;
// CR LF line ends are accepted. A bad line refuses the whole list ("line N: ..."), as does a
// device listed twice, on the command line or in the file: the same port and the same address
// once names are resolved (localhost:8001 and 127.0.0.1 with the default port 8001 are one
// device).
DeviceListResult CombineDevices(const std::vector<std::string>& given, const std::string& fileText,
                                int defaultPort);

}  // namespace cli
