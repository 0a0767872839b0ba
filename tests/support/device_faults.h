#pragma once

// The misbehaving devices every upload is tried against: one table of named faults, each what
// the device on 127.0.0.1 does (a script, and where `vellumix-cli device` can play the same
// fault, its options). The host, command-line and window suites take their faults from here and
// say only what their program must make of each; a fault added here reaches all three.

#include <cstdlib>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/scripted_device.h"

namespace testing_support {

// What the tests take the programs' acknowledgement time-out to be.
inline constexpr int kFaultAckTimeoutMs = 3000;
// The faults cut into an image of one file of 3 such blocks (9 frames), unless they need more.
inline constexpr int kFaultBlockBytes = 1024;
// Small buffers on both ends, so that a device that stops reading fills them within a few
// blocks (loopback would otherwise buffer megabytes), and an image far beyond them.
inline constexpr int kSmallSendBuffer = 4096;
inline constexpr int kSmallReceiveBuffer = 2048;
inline constexpr int kBlocksBeyondTheBuffers = 48;

// How the upload must end against the fault.
enum class FaultEnd {
    kUpdateError,  // fails, no later than the acknowledgement time-out and a tick or two
    kStalledSend,  // fails once a send that no byte leaves has waited its time-out
    kSucceeds,     // a device slow but within the rules
};

struct DeviceFault {
    const char* name = "";
    ScriptedDevice::Script script = {};
    FaultEnd end = FaultEnd::kUpdateError;
    // The same fault from `vellumix-cli device`, when it has options for it.
    std::vector<std::string> simulator = {};
    bool accept = true;  // false: the connection stays in the listen queue
    // The fault may reach the program before its connect completes (a reset right after the
    // accept), so the run may end at the connect instead.
    bool mayEndAtTheConnect = false;
    // The device's receive buffer (0: the system's); small with kStalledSend.
    int receiveBuffer = 0;
};

inline void PrintTo(const DeviceFault& fault, std::ostream* out) {
    *out << fault.name;
}

// A device that answers the magic frame with `reply` and then waits.
inline ScriptedDevice::Script AnswersTheMagicWith(std::string reply) {
    return [reply](DeviceConnection& device) {
        if (device.Read(kMagicFrameBytes) && device.Write(reply)) {
            device.Idle();
        }
    };
}

// A device that answers the magic and `blocks` blocks, then does `then`.
inline ScriptedDevice::Script AnswersBlocksThen(int blocks, void (*then)(DeviceConnection&)) {
    return [blocks, then](DeviceConnection& device) {
        if (!device.Read(kMagicFrameBytes) || !device.Write("OK")) {
            return;
        }
        for (int block = 0; block < blocks; ++block) {
            if (!device.ReadBlock() || !device.Write("OK")) {
                return;
            }
        }
        then(device);
    };
}

inline const std::vector<DeviceFault>& DeviceFaults() {
    static const std::vector<DeviceFault> faults = {
        {.name = "AcceptsAndNeverReads", .script = [](DeviceConnection& device) { device.Idle(); }},
        {.name = "NeverAccepts", .script = [](DeviceConnection&) {}, .accept = false},
        {.name = "ReadsButNeverAnswers",
         .script =
             [](DeviceConnection& device) {
                 if (device.Read(kMagicFrameBytes)) {
                     device.WaitForClose();
                 }
             },
         .simulator = {"--no-answer-after", "0"}},
        {.name = "StopsAnsweringAtTheSecondBlock",
         .script = AnswersBlocksThen(1, [](DeviceConnection& device) { device.WaitForClose(); }),
         .simulator = {"--no-answer-after", "2"}},
        {.name = "AcceptsAndClosesAtOnce",
         .script = [](DeviceConnection& device) { device.Close(); }},
        {.name = "ClosesAfterAnsweringTheMagic",
         .script = AnswersBlocksThen(0, [](DeviceConnection& device) { device.Close(); }),
         .simulator = {"--close-after", "0"}},
        {.name = "AcceptsAndResetsAtOnce",
         .script = [](DeviceConnection& device) { device.Reset(); },
         .mayEndAtTheConnect = true},
        {.name = "ResetsMidBlock",
         .script =
             [](DeviceConnection& device) {
                 if (device.Read(kMagicFrameBytes) && device.Write("OK") &&
                     device.Read(kLengthFrameBytes) && device.Read(kFaultBlockBytes / 2)) {
                     device.Reset();
                 }
             }},
        {.name = "ResetsAfterTheFirstBlock",
         .script = AnswersBlocksThen(1, [](DeviceConnection& device) { device.Reset(); }),
         .simulator = {"--reset-after", "1"}},
        {.name = "AnswersGarbage", .script = AnswersTheMagicWith(std::string("\x00\xFFOK", 4))},
        // The device protocol takes one whole chunk: OK in two pieces is no acknowledgement.
        {.name = "AnswersOkInTwoSegments",
         .script =
             [](DeviceConnection& device) {
                 if (device.Read(kMagicFrameBytes) && device.Write("O") && device.Sleep(200) &&
                     device.Write("K")) {
                     device.Idle();
                 }
             },
         .simulator = {"--split-answer"}},
        {.name = "AnswersOkWithAnEchoOfTheFrame",
         .script =
             [](DeviceConnection& device) {
                 std::string magic;
                 if (device.Read(kMagicFrameBytes, &magic) && device.Write("OK" + magic)) {
                     device.Idle();
                 }
             }},
        {.name = "AnswersOkCrLf",
         .script = AnswersTheMagicWith("OK\r\n"),
         .simulator = {"--answer", "OK\\r\\n"}},
        {.name = "AnswersOkTwice", .script = AnswersTheMagicWith("OKOK")},
        {.name = "AnswersOkX", .script = AnswersTheMagicWith("OKX")},
        {.name = "AnswersALongReply", .script = AnswersTheMagicWith(std::string(40, 'Q'))},
        {.name = "FloodsAFrameWithReplies",
         .script =
             [](DeviceConnection& device) {
                 if (device.Read(kMagicFrameBytes)) {
                     for (int i = 0; i < 2000 && device.Write("XY") && device.Sleep(1); ++i) {
                     }
                     device.WaitForClose();
                 }
             }},
        {.name = "AnswersLaterThanTheTimeout", .script = GoodDevice(kFaultAckTimeoutMs + 500)},
        {.name = "AnswersJustWithinTheTimeout",
         .script = GoodDevice(kFaultAckTimeoutMs - 500),
         .end = FaultEnd::kSucceeds},
        // Answers every frame without reading it: the frames pile up until the buffers are full
        // and the send has to wait.
        {.name = "AnswersButNeverReads",
         .script =
             [](DeviceConnection& device) {
                 while (device.Sleep(100) && device.Write("OK")) {
                 }
             },
         .end = FaultEnd::kStalledSend,
         .receiveBuffer = kSmallReceiveBuffer},
    };
    return faults;
}

inline const DeviceFault& DeviceFaultNamed(std::string_view name) {
    for (const DeviceFault& fault : DeviceFaults()) {
        if (fault.name == name) {
            return fault;
        }
    }
    std::abort();  // a name the table lacks is a mistake in the test
}

// The faults that end the upload as `end` says, in the table's order.
inline std::vector<DeviceFault> DeviceFaultsEnding(std::initializer_list<FaultEnd> ends) {
    std::vector<DeviceFault> chosen;
    for (const DeviceFault& fault : DeviceFaults()) {
        for (const FaultEnd end : ends) {
            if (fault.end == end) {
                chosen.push_back(fault);
            }
        }
    }
    return chosen;
}

inline std::string DeviceFaultTestName(const ::testing::TestParamInfo<DeviceFault>& info) {
    return info.param.name;
}

}  // namespace testing_support
