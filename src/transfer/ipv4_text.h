#pragma once

#include <cstdint>
#include <string>

namespace transfer {

// How a device address given as text reads, by the rule of the window's address field: an
// IPv4 address is exactly four dot-separated decimal fields of one to three digits, each 0 to
// 255, and a leading zero is just a zero (127.0.0.010 is 127.0.0.10). The C library's resolver
// would read more into a number (127.1, 0x7f.0.0.1, a leading zero as octal) and so reach
// another host: text that looks like a number and breaks the rule is refused instead.
struct Ipv4Text {
    enum class Kind {
        kName,     // not a number: a host name for the resolver
        kAddress,  // four decimal fields; `address` holds it
        kRefused,  // looks like a number but breaks the rule; `reason` says how
    };
    Kind kind = Kind::kName;
    std::uint32_t address = 0;  // host order
    std::string reason;         // "2 fields, not 4", "field \"0x7f\" is hexadecimal", ...
};

Ipv4Text ReadIpv4Text(const std::string& text);

// "127.0.0.10": the address as the window shows it, without leading zeros.
std::string DottedDecimal(std::uint32_t address);

}  // namespace transfer
