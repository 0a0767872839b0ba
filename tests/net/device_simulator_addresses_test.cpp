// The simulator standing in for several devices: one upload at a time per listening address,
// several addresses at once.

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QObject>

#include <gtest/gtest.h>

#include "net/device_simulator.h"
#include "net/net_test_support.h"
#include "support/loopback_socket.h"

namespace {

using net::DeviceSimulator;
using net_testing::WaitUntil;

constexpr int kClientTimeoutMs = 3000;

int ConnectTo(const std::string& address, int port) {
    const int fd = testing_support::ConnectWithin(port, kClientTimeoutMs, address.c_str());
    if (fd >= 0) {
        testing_support::SetSendTimeout(fd, kClientTimeoutMs);
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    return testing_support::SendAllBytes(fd, bytes);
}

// A one-file image ("/a.htm", `size` bytes) in a directory of one entry.
std::string SmallImage(std::size_t size) {
    std::string image(32, '\0');
    std::memcpy(image.data(), "/a.htm", 6);
    image[24] = 32;
    image[28] = static_cast<char>(size);
    return image + std::string(size, 'x');
}

// Also with too few descriptors for a listener beside each connection (none of the two, or only
// the first, keeps listening): then an address listens again once its upload is over.
TEST(DeviceSimulatorAddressesTest, EachAddressTakesItsOwnUploadAtTheSameTime) {
    for (const int kept : {net::kEveryAddress, 0, 1}) {
        SCOPED_TRACE("listeners kept: " + std::to_string(kept));
        net::DeviceSimulatorOptions options;
        options.listenAddresses = {"127.0.4.2", "127.0.4.3"};
        options.port = 0;
        options.keptListeners = kept;
        DeviceSimulator simulator(options);
        std::vector<std::string> lines;
        std::vector<std::string> finishedOn;
        std::atomic<std::size_t> told{0};
        QObject::connect(&simulator, &DeviceSimulator::Message,
                         [&](const QString& line) { lines.push_back(line.toStdString()); });
        QObject::connect(&simulator, &DeviceSimulator::UploadFinished, [&](bool ok) {
            EXPECT_TRUE(ok) << simulator.LastResult().error;
            finishedOn.push_back(simulator.LastResult().address);
            ++told;
        });
        std::string error;
        ASSERT_TRUE(simulator.Start(error)) << error;
        ASSERT_EQ(simulator.AddressCount(), 2);

        // Both clients get the magic answered before either sends its block: with one upload for
        // all addresses the second would be refused.
        const std::string image = SmallImage(50);
        const std::string block = std::string{static_cast<char>(image.size()), 0} + image;
        std::vector<std::string> answers(6);
        std::atomic<bool> done{false};
        std::thread clients([&] {
            const int first = ConnectTo("127.0.4.2", simulator.Port());
            const int second = ConnectTo("127.0.4.3", simulator.Port());
            SendAll(first, "KXHTMLUPGRADE");
            answers[0] = net_testing::ReadBytes(first, 2, kClientTimeoutMs);
            SendAll(second, "KXHTMLUPGRADE");
            answers[1] = net_testing::ReadBytes(second, 2, kClientTimeoutMs);
            for (int i = 0; i < 2; ++i) {
                const int fd = i == 0 ? first : second;
                SendAll(fd, block);
                answers[2 + static_cast<std::size_t>(i)] =
                    net_testing::ReadBytes(fd, 2, kClientTimeoutMs);
            }
            net_testing::CloseSocket(first);
            net_testing::CloseSocket(second);
            // The first address takes another upload once it has told the last one.
            for (int waited = 0; told < 2 && waited < kClientTimeoutMs; waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            const int again = ConnectTo("127.0.4.2", simulator.Port());
            SendAll(again, "KXHTMLUPGRADE");
            answers[4] = net_testing::ReadBytes(again, 2, kClientTimeoutMs);
            SendAll(again, block);
            answers[5] = net_testing::ReadBytes(again, 2, kClientTimeoutMs);
            net_testing::CloseSocket(again);
            done = true;
        });
        WaitUntil([&] { return done.load(); }, 4 * kClientTimeoutMs);
        clients.join();
        ASSERT_TRUE(WaitUntil([&] { return finishedOn.size() == 3; }));

        EXPECT_EQ(answers, std::vector<std::string>(6, "OK"));
        EXPECT_EQ(std::set<std::string>(finishedOn.begin(), finishedOn.end()),
                  (std::set<std::string>{"127.0.4.2", "127.0.4.3"}));
        std::size_t prefixed = 0;
        for (const auto& line : lines) {
            EXPECT_EQ(line.find("refused"), std::string::npos) << line;
            prefixed += line.rfind("[127.0.4.", 0) == 0 ? 1 : 0;
        }
        EXPECT_GE(prefixed, 9u);  // connection, magic, block, complete... per upload
        EXPECT_FALSE(simulator.UploadInProgress());
    }
}

TEST(ExpandAddressRangeTest, ExpandsBothFormsAndRefusesBadRanges) {
    struct Case {
        const char* text;
        std::vector<std::string> addresses;  // empty: refused
    };
    const Case cases[] = {
        {"127.0.0.2-127.0.0.4", {"127.0.0.2", "127.0.0.3", "127.0.0.4"}},
        {"127.0.0.2-4", {"127.0.0.2", "127.0.0.3", "127.0.0.4"}},
        {"127.0.0.7-7", {"127.0.0.7"}},
        {"127.0.0.255-127.0.1.1", {"127.0.0.255", "127.0.1.0", "127.0.1.1"}},
        {"127.0.0.4-127.0.0.2", {}},
        {"127.0.0.2", {}},
        {"127.0.0.2-", {}},
        {"127.0.0.2-300", {}},
        {"nonsense-127.0.0.3", {}},
        {"::1-::2", {}},
        // Leading zeros are decimal; what Qt alone would read as shorthand or octal is refused.
        {"127.0.0.010-012", {"127.0.0.10", "127.0.0.11", "127.0.0.12"}},
        {"127.1-127.0.0.3", {}},
        {"0x7f.0.0.1-2", {}},
        {"127.0.0.1-127.0.64.1", {}},  // 16385 addresses
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto expanded = net::ExpandAddressRange(c.text, error);
        if (c.addresses.empty()) {
            EXPECT_FALSE(expanded.has_value());
            EXPECT_FALSE(error.empty());
        } else {
            ASSERT_TRUE(expanded.has_value()) << error;
            EXPECT_EQ(*expanded, c.addresses);
        }
    }
    std::string error;
    const auto largest = net::ExpandAddressRange("127.0.0.1-127.0.64.0", error);
    ASSERT_TRUE(largest.has_value()) << error;
    EXPECT_EQ(largest->size(), static_cast<std::size_t>(net::kMaxRangeAddresses));
}

}  // namespace
