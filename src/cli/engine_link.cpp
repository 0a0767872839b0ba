#include "cli/engine_link.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <asio/post.hpp>

#include "platform/async_socket_qt.h"
#include "platform/socket_calls.h"
#include "platform/window_messages.h"

namespace cli {

namespace {

// Every read goes here first (one loop thread, one read at a time); a link keeps only what it
// read, so that thousands of links need no receive buffer each.
thread_local std::array<std::uint8_t, net::kReceiveBufferSize> readScratch;

std::string Dotted(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// "21 s" for whole seconds, else "1500 ms".
std::string Duration(int milliseconds) {
    return milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                    : std::to_string(milliseconds) + " ms";
}

// The system's error number for how a read ended (Asio's codes are Winsock's on Windows).
int ReadErrorNumber(const asio::error_code& error) {
    if (error == asio::error::connection_reset) {
        return ECONNRESET;
    }
    if (error == asio::error::connection_aborted) {
        return ECONNABORTED;
    }
    if (error == asio::error::timed_out) {
        return ETIMEDOUT;
    }
    if (error == asio::error::host_unreachable) {
        return EHOSTUNREACH;
    }
    if (error == asio::error::network_unreachable) {
        return ENETUNREACH;
    }
    return EIO;
}

}  // namespace

// A name looked up beside the loop; its answer reaches the link only while the link wants it
// (the loop outlives every link, and a link stops wanting it when it closes).
struct EngineLink::Resolution {
    std::mutex mutex;
    bool wanted = true;
};

EngineLink::EngineLink(asio::io_context& loop, net::LoggingSocket* journal)
    : loop_(loop), journal_(journal), socket_(loop), alive_(std::make_shared<char>()) {}

EngineLink::~EngineLink() {
    Shut();
}

void EngineLink::StartConnect(const std::string& address, int port, int timeoutMs,
                              std::function<void()> done) {
    onConnect_ = std::move(done);
    timeoutMs_ = timeoutMs;
    platform::SocketError error;
    // Only Windows has a socket layer to start.
    if (platform::SocketLayerStartup()) {
        descriptor_ = platform::SocketOpen(error);
        lastError_ = error.number;
    } else {
        lastError_ = EIO;
    }
    if (descriptor_ >= 0) {
        // Every send is one frame of the device's protocol; a device may take each read as one
        // frame, so a frame must not wait to be merged with the next.
        platform::SocketSetNoDelay(descriptor_);
        asio::error_code assigned;
        socket_.assign(asio::ip::tcp::v4(),
                       static_cast<asio::ip::tcp::socket::native_handle_type>(descriptor_),
                       assigned);
        if (assigned) {
            platform::SocketClose(descriptor_);
            descriptor_ = -1;
            lastError_ = assigned.value();
            lastErrorText_ = assigned.message();
        }
    }
    created_ = descriptor_ >= 0;
    std::weak_ptr<char> alive = alive_;
    std::uint32_t dotted = 0;
    if (platform::ParseDottedAddress(address.c_str(), dotted)) {
        asio::post(loop_, [this, alive, dotted, port] {
            if (!alive.expired()) {
                ConnectTo(dotted, port);
            }
        });
        return;
    }
    // A name may take the resolver seconds: resolve it beside the loop.
    auto resolution = std::make_shared<Resolution>();
    std::thread([resolution, alive, address, port, this, &loop = loop_] {
        std::uint32_t host = 0;
        if (!platform::ResolveHostAddress(address, host)) {
            host = 0;
        }
        const std::lock_guard<std::mutex> lock(resolution->mutex);
        if (!resolution->wanted) {
            return;
        }
        asio::post(loop, [this, alive, address, host, port] {
            if (alive.expired()) {
                return;
            }
            if (host == 0) {
                lastErrorText_ =
                    address.empty() ? "no address" : address + ": name does not resolve";
                FinishConnect(EHOSTUNREACH);
            } else {
                ConnectTo(host, port);
            }
        });
    }).detach();
    resolution_ = std::move(resolution);
}

void EngineLink::ConnectTo(std::uint32_t address, int port) {
    if (descriptor_ < 0) {
        FinishConnect(lastError_ != 0 ? lastError_ : EBADF);  // the open's reason (EMFILE)
        return;
    }
    // Refused before any packet: 0.0.0.0 would reach this machine, a broadcast or multicast
    // address no single device.
    if (!platform::IsUnicastHostAddress(address)) {
        lastErrorText_ = "address " + Dotted(address) + " is not a unicast host address";
        FinishConnect(EADDRNOTAVAIL);
        return;
    }
    if (port <= 0 || port > 65535) {
        FinishConnect(EINVAL);
        return;
    }
    platform::SocketError error;
    const int started = platform::SocketConnect(descriptor_, address, port, error);
    if (started == 0) {
        FinishConnect(0);
        return;
    }
    if (started != platform::kSocketWouldBlock) {
        FinishConnect(error.number);
        return;
    }
    WaitWritable();
    connectTimer_ = std::make_unique<asio::steady_timer>(loop_);
    connectTimer_->expires_after(std::chrono::milliseconds(timeoutMs_));
    connectTimer_->async_wait([this, alive = std::weak_ptr<char>(alive_)](asio::error_code ec) {
        if (ec || alive.expired() || !onConnect_) {
            return;
        }
        lastErrorText_ = "timed out after " + Duration(timeoutMs_);
        FinishConnect(ETIMEDOUT);
    });
    // Wine does not always report a refused connect at once: where the call layer says so
    // (Windows), look for the outcome every SocketConnectPollMs as well.
    const int pollMs = platform::SocketConnectPollMs();
    if (pollMs > 0) {
        pollTimer_ = std::make_unique<asio::steady_timer>(loop_);
        PollConnect(pollMs);
    }
}

void EngineLink::PollConnect(int pollMs) {
    pollTimer_->expires_after(std::chrono::milliseconds(pollMs));
    pollTimer_->async_wait(
        [this, pollMs, alive = std::weak_ptr<char>(alive_)](asio::error_code ec) {
            if (ec || alive.expired() || !onConnect_ || descriptor_ < 0) {
                return;
            }
            platform::SocketError ignored;
            if (platform::SocketWaitWritable(descriptor_, platform::SocketWaitFor::kConnectEnd, 0,
                                             ignored) == platform::SocketWaitResult::kReady) {
                FinishConnect(platform::SocketPendingError(descriptor_).number);
                return;
            }
            PollConnect(pollMs);
        });
}

void EngineLink::FinishConnect(int error) {
    if (!onConnect_) {
        return;  // already ended (a time-out, a poll or the writable socket came first)
    }
    connectTimer_.reset();
    pollTimer_.reset();
    lastError_ = error;
    if (error == 0) {
        lastErrorText_.clear();
        connected_ = true;
        WaitReadable();
    }
    const std::function<void()> done = std::move(onConnect_);
    onConnect_ = nullptr;
    done();  // may destroy this object
}

bool EngineLink::Create(unsigned, int, long, const char*) {
    return created_;
}

bool EngineLink::Connect(const std::string&, int) {
    return created_ && connected_;
}

bool EngineLink::SendBytes(const std::uint8_t* data, std::int32_t length) {
    bool sent = false;
    if (descriptor_ < 0 || !connected_ || length < 0 || (data == nullptr && length > 0)) {
        lastError_ = lastError_ != 0 ? lastError_ : ENOTCONN;
    } else if (queue_.size() > queueStart_) {
        queue_.insert(queue_.end(), data, data + length);  // behind what waits for room
        sent = Flush();
    } else {
        sent = SendNow(data, static_cast<std::size_t>(length));
    }
    if (journal_ != nullptr) {
        journal_->LogHexDump(true, length, data);
    }
    return sent;
}

// Hands the bytes to the system; only what it does not take is copied, to wait for room. False
// once the connection failed.
bool EngineLink::SendNow(const std::uint8_t* data, std::size_t length) {
    std::size_t taken = 0;
    while (taken < length) {
        platform::SocketError error;
        const int count = platform::SocketSend(descriptor_, data + taken, length - taken, error);
        if (count > 0) {
            taken += static_cast<std::size_t>(count);
            continue;
        }
        if (count == platform::kSocketWouldBlock) {
            queue_.assign(data + taken, data + length);
            queueStart_ = 0;
            WaitWritable();
            return true;
        }
        Fail(count < 0 ? error.number : EIO);
        return false;
    }
    return true;
}

// Writes what the system takes now of the bytes waiting; the rest waits on. False once the
// connection failed.
bool EngineLink::Flush() {
    while (queue_.size() > queueStart_) {
        platform::SocketError error;
        const int count = platform::SocketSend(descriptor_, queue_.data() + queueStart_,
                                               queue_.size() - queueStart_, error);
        if (count > 0) {
            queueStart_ += static_cast<std::size_t>(count);
            continue;
        }
        if (count == platform::kSocketWouldBlock) {
            WaitWritable();
            return true;
        }
        Fail(count < 0 ? error.number : EIO);
        return false;
    }
    std::vector<std::uint8_t>().swap(queue_);  // a stall is rare: its buffer is not kept
    queueStart_ = 0;
    return true;
}

// The connection failed under queued bytes: they can never arrive.
void EngineLink::Fail(int error) {
    lastError_ = error;
    lastErrorText_.clear();
    connected_ = false;
    queue_.clear();
    queueStart_ = 0;
}

void EngineLink::WaitWritable() {
    if (writeWaiting_) {
        return;
    }
    writeWaiting_ = true;
    socket_.async_wait(asio::socket_base::wait_write,
                       [this, alive = std::weak_ptr<char>(alive_)](asio::error_code ec) {
                           if (ec || alive.expired()) {
                               return;
                           }
                           writeWaiting_ = false;
                           OnWritable();
                       });
}

void EngineLink::OnWritable() {
    if (!connected_) {
        if (!onConnect_ || descriptor_ < 0) {
            return;
        }
        // Asio also wakes for the hang-up that a socket shows before its connect starts.
        platform::SocketError ignored;
        if (platform::SocketWaitWritable(descriptor_, platform::SocketWaitFor::kConnectEnd, 0,
                                         ignored) != platform::SocketWaitResult::kReady) {
            WaitWritable();
            return;
        }
        FinishConnect(platform::SocketPendingError(descriptor_).number);
        return;
    }
    Flush();
}

// Each read goes to the loop as a small one (a device answers "OK"), and whatever else is there
// already is taken at once behind it, so a chunk is what a single read of kReceiveBufferSize
// bytes would have got. The connection's end reaches the loop the same way, with its reason.
void EngineLink::WaitReadable() {
    if (closeReported_ || descriptor_ < 0) {
        return;
    }
    socket_.async_receive(asio::buffer(firstBytes_), [this, alive = std::weak_ptr<char>(alive_)](
                                                         asio::error_code ec, std::size_t count) {
        if (alive.expired() || ec == asio::error::operation_aborted || descriptor_ < 0) {
            return;
        }
        if (ec == asio::error::eof) {
            OnPeerClosed(0);
        } else if (ec) {
            OnPeerClosed(ReadErrorNumber(ec));
        } else {
            OnRead(count);
        }
    });
}

void EngineLink::OnRead(std::size_t firstCount) {
    std::memcpy(readScratch.data(), firstBytes_.data(), firstCount);
    int count = static_cast<int>(firstCount);
    if (firstCount == firstBytes_.size()) {
        platform::SocketError ignored;  // an end or error is the next read's to tell
        const int more = platform::SocketReceive(descriptor_, readScratch.data() + count,
                                                 net::kReceiveBufferSize - count, ignored);
        count += more > 0 ? more : 0;
    }
    lastReadCount_ = count;
    if (count < net::kReceiveBufferSize) {
        received_.assign(readScratch.data(), readScratch.data() + count);
    } else {
        received_.clear();
    }
    if (journal_ != nullptr) {
        journal_->LogHexDump(false, count, readScratch.data());
    }
    Post(platform::WM_DEVICE_RECEIVE);
    WaitReadable();
}

void EngineLink::OnPeerClosed(int error) {
    if (closeReported_) {
        return;
    }
    closeReported_ = true;
    *lost_ = error == 0 ? "the device closed the connection"
                        : std::string("connection lost: ") + std::strerror(error);
    if (journal_ != nullptr) {
        journal_->LogText("Socket::OnClose(index=0)\r\n");
        journal_->LogText("plc socket::close\r\n");
    }
    Post(platform::WM_DEVICE_CLOSE);
}

void EngineLink::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    if (destination == nullptr || lastReadCount_ < 1 || lastReadCount_ >= net::kReceiveBufferSize) {
        return;
    }
    std::memcpy(destination, received_.data(), received_.size());
    outLength = lastReadCount_;
}

void EngineLink::Post(unsigned message) {
    if (window_ != nullptr) {
        window_->PostMessage(message, 0, 0);
    }
}

void EngineLink::Close() {
    if (journal_ != nullptr) {
        journal_->LogText("Socket::Close(index=0)\r\n");
    }
    Shut();
}

void EngineLink::Shut() {
    if (resolution_) {
        const std::lock_guard<std::mutex> lock(resolution_->mutex);
        resolution_->wanted = false;
    }
    resolution_.reset();
    onConnect_ = nullptr;
    connectTimer_.reset();
    pollTimer_.reset();
    if (descriptor_ >= 0) {
        asio::error_code ignored;
        socket_.close(ignored);  // the socket owns the descriptor
        descriptor_ = -1;
    }
    connected_ = false;
    writeWaiting_ = false;
    queue_.clear();
    queueStart_ = 0;
}

std::string EngineLink::LastErrorText() const {
    if (!lastErrorText_.empty() || lastError_ == 0) {
        return lastErrorText_;
    }
    return platform::SocketErrnoText(lastError_);
}

}  // namespace cli
