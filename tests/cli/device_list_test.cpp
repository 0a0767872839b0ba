#include "cli/device_list.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using cli::DeviceAddress;

TEST(ParseDeviceAddressTest, TakesAnOptionalPortAndRefusesBadOnes) {
    struct Case {
        const char* text;
        bool ok;
        DeviceAddress device;
    };
    const Case cases[] = {
        {"127.0.0.2", true, {"127.0.0.2", 8001}},
        {"127.0.0.2:9000", true, {"127.0.0.2", 9000}},
        {"plc-7.local:1", true, {"plc-7.local", 1}},
        {"127.0.0.2:65535", true, {"127.0.0.2", 65535}},
        {"127.0.0.2:0", false, {}},
        {"127.0.0.2:65536", false, {}},
        {"127.0.0.2:", false, {}},
        {"127.0.0.2:80x", false, {}},
        {"127.0.0.2:-1", false, {}},
        {":8001", false, {}},
        {"", false, {}},
        {"127.0.0.2 8001", false, {}},
        // Not an address[:port] at all.
        {"127.0.0.2:8001:9", false, {}},
        {"plc:8001:x", false, {}},
        {"!!junk!!", false, {}},
        {"a..b", false, {}},
        {"\x01\x7f\xfe", false, {}},
        {"plc\xc3\xa9", false, {}},
        // The connection, not the list, refuses an address that is not a unicast host.
        {"0.0.0.0", true, {"0.0.0.0", 8001}},
        {"plc_7-b.example", true, {"plc_7-b.example", 8001}},
        // Numbers by the window's rule: a leading zero is decimal, not octal, and anything
        // the C library would read as shorthand is refused rather than sent elsewhere.
        {"127.0.0.010", true, {"127.0.0.10", 8001}},
        {"127.000.000.077:9000", true, {"127.0.0.77", 9000}},
        {"127.1", false, {}},
        {"127.0.1", false, {}},
        {"2130706433", false, {}},
        {"0x7f.0.0.1", false, {}},
        {"127.0.0.0x1", false, {}},
        {"127.0.0.256", false, {}},
        {"127.0.0.0010", false, {}},
        {"127.0.0.1.5", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto device = cli::ParseDeviceAddress(c.text, 8001);
        ASSERT_EQ(device.ok(), c.ok) << device.error().text;
        if (c.ok) {
            EXPECT_EQ(*device, c.device);
        }
    }
}

TEST(DevicesFileTest, SkipsBlankLinesAndCommentsAndKeepsTheOrder) {
    const std::string text =
        "\xEF\xBB\xBF# line 1 is a comment, after a byte-order mark\r\n"
        "\n"
        "  127.0.0.3:9000   \r\n"
        "\t127.0.0.2\t# trailing comment\n"
        "   # indented comment\n"
        "127.0.0.4";  // no final line end
    const auto list = cli::CombineDevices({}, text, 8001);
    ASSERT_TRUE(list.ok()) << list.error;
    EXPECT_EQ(list.devices, (std::vector<DeviceAddress>{
                                {"127.0.0.3", 9000}, {"127.0.0.2", 8001}, {"127.0.0.4", 8001}}));
}

TEST(DevicesFileTest, RefusesTheWholeListNamingTheBadLine) {
    struct Case {
        const char* what;
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"bad port", "127.0.0.2\n\n127.0.0.3:99999\n", "line 3: "},
        {"two words on a line", "127.0.0.2 127.0.0.3\n", "line 1: "},
        {"device twice", "127.0.0.2\n127.0.0.2:8001\n", "device listed twice: 127.0.0.2:8001"},
        {"junk", "127.0.0.2\n!!junk!!\n", "line 2: not an address[:port]"},
        {"host:port:x", "\n127.0.0.2:8001:x\n", "line 2: "},
        {"binary", std::string("127.0.0.2\n\x01\0\xff\xfe\n", 15), "line 2: "},
        {"byte-order mark inside",
         "127.0.0.2\n\xEF\xBB\xBF"
         "127.0.0.3\n",
         "line 2: "},
        {"one device under two names", "localhost\n127.0.0.1:8001\n",
         "line 2: device listed twice: 127.0.0.1:8001 (the same device as localhost:8001)"},
        {"one device with and without leading zeros", "127.0.0.010\n127.0.0.10\n",
         "line 2: device listed twice: 127.0.0.10:8001 (the same device as 127.0.0.010:8001)"},
        {"shorthand address", "127.0.0.2\n127.1\n",
         "line 2: not an IPv4 address: \"127.1\" (2 fields, not 4;"},
        {"hexadecimal field", "0x7f.0.0.1\n",
         "line 1: not an IPv4 address: \"0x7f.0.0.1\" (field "},
        {"field above 255", "127.0.0.256\n", "(field 256 is above 255;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto list = cli::CombineDevices({}, c.text, 8001);
        EXPECT_FALSE(list.ok());
        EXPECT_TRUE(list.devices.empty());
        EXPECT_NE(list.error.find(c.error), std::string::npos) << list.error;
    }
}

TEST(DevicesFileTest, EmptyOrCommentOnlyFileGivesNoDevice) {
    for (const char* text : {"", "\n\n", "# nothing here\r\n   \r\n"}) {
        const auto list = cli::CombineDevices({}, text, 8001);
        EXPECT_TRUE(list.ok()) << list.error;
        EXPECT_TRUE(list.devices.empty());
    }
}

TEST(CombineDevicesTest, CommandLineFirstAndADeviceInBothIsRefused) {
    const auto list = cli::CombineDevices({"127.0.0.9", "127.0.0.8:7"}, "127.0.0.2\n", 8001);
    ASSERT_TRUE(list.ok()) << list.error;
    EXPECT_EQ(list.devices, (std::vector<DeviceAddress>{
                                {"127.0.0.9", 8001}, {"127.0.0.8", 7}, {"127.0.0.2", 8001}}));

    const auto twice = cli::CombineDevices({"127.0.0.2:8001"}, "127.0.0.2\n", 8001);
    EXPECT_FALSE(twice.ok());

    const auto bad = cli::CombineDevices({"127.0.0.2:x"}, "", 8001);
    EXPECT_FALSE(bad.ok());

    const auto twoNames = cli::CombineDevices({"LOCALHOST", "127.0.0.1:8001"}, "", 8001);
    EXPECT_EQ(twoNames.error,
              "device listed twice: 127.0.0.1:8001 (the same device as LOCALHOST:8001)");
}

}  // namespace
