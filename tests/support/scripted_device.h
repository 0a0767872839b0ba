#pragma once

// A device on 127.0.0.1 played by a script on a thread of its own, for fault tests: it can
// stop reading, answer garbage, answer late, reset in the middle of a block, or close at once,
// while the program under test blocks in a send or runs its own event loop. Raw sockets without
// Qt (support/loopback_socket.h), so every test suite can use it. Every wait is bounded, and
// destroying the object ends the script at its next wait.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "support/loopback_socket.h"

namespace testing_support {

inline constexpr int kMagicFrameBytes = 13;
inline constexpr int kLengthFrameBytes = 2;
// Longest a script waits for the program before giving up on it.
inline constexpr int kScriptWaitMs = 20000;
// How often a waiting script looks whether it should stop.
inline constexpr int kScriptSliceMs = 20;

// The accepted connection, as the script sees it.
class DeviceConnection {
  public:
    DeviceConnection(int descriptor, const std::atomic<bool>& stopping)
        : descriptor_(descriptor), stopping_(stopping) {}

    bool Stopping() const { return stopping_.load(); }

    // Reads exactly `length` bytes into `out`; false when the program closed, the peer was told
    // to stop, or `timeoutMs` passed.
    bool Read(std::size_t length, std::string* out = nullptr, int timeoutMs = kScriptWaitMs) {
        const auto deadline = Now() + std::chrono::milliseconds(timeoutMs);
        std::string bytes;
        char chunk[4096];
        while (bytes.size() < length) {
            if (!WaitReadable(deadline)) {
                return false;
            }
            const long count =
                RecvBytes(descriptor_, chunk, std::min(sizeof chunk, length - bytes.size()));
            if (count <= 0) {
                return false;
            }
            bytes.append(chunk, static_cast<std::size_t>(count));
        }
        if (out != nullptr) {
            *out = std::move(bytes);
        }
        return true;
    }

    // Reads one block (its length frame, then its data); false as Read. `size` gets the length.
    bool ReadBlock(std::size_t* size = nullptr) {
        std::string length;
        if (!Read(kLengthFrameBytes, &length)) {
            return false;
        }
        const auto bytes = static_cast<std::size_t>(static_cast<std::uint8_t>(length[0])) +
                           256u * static_cast<std::uint8_t>(length[1]);
        if (size != nullptr) {
            *size = bytes;
        }
        return Read(bytes);
    }

    bool Write(const std::string& bytes) { return SendAllBytes(descriptor_, bytes); }

    // Sleeps, but wakes early when the peer is told to stop; false then.
    bool Sleep(int milliseconds) {
        const auto deadline = Now() + std::chrono::milliseconds(milliseconds);
        while (Now() < deadline) {
            if (Stopping()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::min<long long>(kScriptSliceMs, MillisecondsUntil(deadline))));
        }
        return !Stopping();
    }

    // Waits until the program closes the connection (or the time is up / the peer stops),
    // discarding what it sends. True when the program closed it.
    bool WaitForClose(int timeoutMs = kScriptWaitMs) {
        const auto deadline = Now() + std::chrono::milliseconds(timeoutMs);
        char chunk[4096];
        while (WaitReadable(deadline)) {
            if (RecvBytes(descriptor_, chunk, sizeof chunk) <= 0) {
                return true;
            }
        }
        return false;
    }

    // Waits, reading nothing, until the peer is told to stop or the time is up.
    void Idle(int timeoutMs = kScriptWaitMs) { Sleep(timeoutMs); }

    // Resets the connection (SO_LINGER 0) and closes it.
    void Reset() {
        if (descriptor_ >= 0) {
            ResetSocket(descriptor_);
            descriptor_ = -1;
        }
    }

    void Close() {
        CloseSocket(descriptor_);
        descriptor_ = -1;
    }

    int Descriptor() const { return descriptor_; }

  private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point Now() { return Clock::now(); }
    static long long MillisecondsUntil(Clock::time_point deadline) {
        return std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now()).count());
    }

    bool WaitReadable(Clock::time_point deadline) {
        while (descriptor_ >= 0 && !Stopping()) {
            const long long left = MillisecondsUntil(deadline);
            if (left == 0) {
                return false;
            }
            const int ready = PollSocket(
                descriptor_, false, static_cast<int>(std::min<long long>(left, kScriptSliceMs)));
            if (ready != 0) {
                return ready > 0;
            }
        }
        return false;
    }

    int descriptor_ = -1;
    const std::atomic<bool>& stopping_;
};

// Listens on a free loopback port and runs `script` on the first connection it accepts (on a
// thread of its own). The connection is closed when the script returns, unless the script
// closed or reset it itself.
class ScriptedDevice {
  public:
    using Script = std::function<void(DeviceConnection&)>;

    // `receiveBuffer` > 0 shrinks the accepted connection's receive buffer; `accept` false
    // leaves the connection in the listen queue (the program's connect still succeeds).
    explicit ScriptedDevice(Script script, int receiveBuffer = 0, bool accept = true)
        : script_(std::move(script)) {
        listener_ = ListenLoopback(4, receiveBuffer, "127.0.0.1", &port_);
        if (listener_ >= 0 && accept) {
            thread_ = std::thread([this] { Serve(); });
        }
    }

    ~ScriptedDevice() {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        CloseSocket(listener_);
    }

    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    // True once the script has returned.
    bool Done() const { return done_.load(); }
    // Waits (bounded) until the script has returned.
    bool WaitDone(int timeoutMs) const {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!Done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kScriptSliceMs));
        }
        return true;
    }

  private:
    void Serve() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kScriptWaitMs);
        while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
            if (PollSocket(listener_, false, kScriptSliceMs) <= 0) {
                continue;
            }
            const int descriptor = AcceptSocket(listener_);
            if (descriptor < 0) {
                continue;
            }
            DeviceConnection connection(descriptor, stopping_);
            script_(connection);
            connection.Close();
            break;
        }
        done_ = true;
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A device that answers "OK" to the magic (after magicDelayMs) and to every data frame.
inline ScriptedDevice::Script GoodDevice(int magicDelayMs = 0) {
    return [magicDelayMs](DeviceConnection& device) {
        if (!device.Read(kMagicFrameBytes) || !device.Sleep(magicDelayMs) || !device.Write("OK")) {
            return;
        }
        while (device.ReadBlock() && device.Write("OK")) {
        }
    };
}

}  // namespace testing_support
