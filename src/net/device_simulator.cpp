#include "net/device_simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <QHostAddress>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "packer/printable_name.h"
#include "platform/socket_calls.h"
#include "transfer/ipv4_text.h"

namespace net {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string FrameName(int frameNumber) {
    return frameNumber == 0 ? "the magic frame" : "block " + std::to_string(frameNumber);
}

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using Tcp = asio::ip::tcp;

// Connections one address may have waiting to be accepted: it takes one upload at a time.
constexpr int kListenBacklog = 50;
// Every read lands in one buffer of the loop's thread, so a connection keeps no receive buffer of
// its own.
constexpr std::size_t kScratchBytes = 65536;
// After a failed accept (no descriptor left), the address tries again this much later.
constexpr int kAcceptRetryMs = 100;
// What is told reaches the owner's thread at most this much later, together with whatever else
// was told meanwhile: thousands of addresses wake that thread a hundred times a second, not
// once a line.
constexpr int kDeliveryDelayMs = 10;

std::string PeerName(const Tcp::socket& socket) {
    asio::error_code error;
    const Tcp::endpoint peer = socket.remote_endpoint(error);
    if (error) {
        return "an unknown peer";
    }
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

std::string SystemText(const asio::error_code& error) {
    return platform::SocketSystemText({error.value(), error.value()});
}

// Qt would read a leading zero as octal and take 127.1: the window's rule instead.
std::optional<quint32> ParseIPv4(const std::string& text, std::string& error) {
    const transfer::Ipv4Text read = transfer::ReadIpv4Text(text);
    if (read.kind != transfer::Ipv4Text::Kind::kAddress) {
        error = "not an IPv4 address: " + text;
        if (!read.reason.empty()) {
            error += " (" + read.reason + "; an address is four decimal fields of 0 to 255)";
        }
        return std::nullopt;
    }
    return read.address;
}

}  // namespace

std::optional<std::vector<std::string>> ExpandAddressRange(const std::string& text,
                                                           std::string& error) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        error = "not a range (FIRST-LAST): " + text;
        return std::nullopt;
    }
    const std::string firstText = text.substr(0, dash);
    std::string lastText = text.substr(dash + 1);
    const auto first = ParseIPv4(firstText, error);
    if (!first) {
        return std::nullopt;
    }
    if (lastText.find('.') == std::string::npos) {
        // Only the last number: the first three come from the start of the range.
        lastText = firstText.substr(0, firstText.rfind('.') + 1) + lastText;
    }
    const auto last = ParseIPv4(lastText, error);
    if (!last) {
        return std::nullopt;
    }
    if (*last < *first) {
        error = "range ends before it starts: " + text;
        return std::nullopt;
    }
    if (*last - *first >= static_cast<quint32>(kMaxRangeAddresses)) {
        error =
            "range holds more than " + std::to_string(kMaxRangeAddresses) + " addresses: " + text;
        return std::nullopt;
    }
    std::vector<std::string> addresses;
    for (quint32 value = *first;; ++value) {
        addresses.push_back(transfer::DottedDecimal(value));
        if (value == *last) {
            break;
        }
    }
    return addresses;
}

std::optional<std::string> ReadListenAddress(const std::string& text, std::string& error) {
    if (text.find(':') != std::string::npos) {
        if (QHostAddress(QString::fromStdString(text)).isNull()) {
            error = "not an IP address: " + text;
            return std::nullopt;
        }
        return text;
    }
    const auto address = ParseIPv4(text, error);
    if (!address) {
        return std::nullopt;
    }
    return transfer::DottedDecimal(*address);
}

std::optional<QByteArray> DecodeCEscapes(const std::string& text) {
    QByteArray decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            decoded.append(text[i]);
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case 'r':
                decoded.append('\r');
                break;
            case 'n':
                decoded.append('\n');
                break;
            case 't':
                decoded.append('\t');
                break;
            case '0':
                decoded.append('\0');
                break;
            case '\\':
            case '"':
            case '\'':
                decoded.append(text[i]);
                break;
            case 'x': {
                int value = 0;
                int digits = 0;
                while (digits < 2 && i + 1 < text.size() && HexDigit(text[i + 1]) >= 0) {
                    value = value * 16 + HexDigit(text[++i]);
                    ++digits;
                }
                if (digits == 0) {
                    return std::nullopt;
                }
                decoded.append(static_cast<char>(value));
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return decoded;
}

std::size_t FrameBounds::Take(const std::uint8_t* data, std::size_t length) {
    const std::size_t count = std::min(length, size_ - taken_);
    if (kind_ == Kind::kLength) {
        for (std::size_t i = 0; i < count; ++i) {
            dataLength_ |= static_cast<std::size_t>(data[i]) << (8 * (taken_ + i));
        }
    }
    taken_ += count;
    if (taken_ < size_) {
        return count;
    }
    taken_ = 0;
    if (kind_ == Kind::kLength && dataLength_ > 0) {
        kind_ = Kind::kData;
        size_ = dataLength_;
    } else {
        kind_ = Kind::kLength;
        size_ = 2;
        ++block_;
    }
    dataLength_ = 0;
    return count;
}

std::string FrameBounds::Name() const {
    switch (kind_) {
        case Kind::kMagic:
            return "the magic frame";
        case Kind::kLength:
            return "the length frame of block " + std::to_string(block_);
        case Kind::kData:
            return "the data frame of block " + std::to_string(block_);
    }
    return {};
}

namespace {

// One listening address and the upload it is taking, if any. Lives on the engine's thread.
struct Listener {
    explicit Listener(asio::io_context& loop)
        : acceptor(loop), idleTimer(loop), answerTimer(loop), pollTimer(loop), retryTimer(loop) {}

    std::string address;
    bool closesWhileServing = false;  // too few descriptors to keep listening meanwhile
    Tcp::acceptor acceptor;
    std::optional<Tcp::socket> client;
    std::string peer;                    // the client's "address:port"
    std::uint64_t connectionSerial = 0;  // tells a late handler whether its connection still exists
    std::unique_ptr<transfer::DeviceStreamParser> parser;
    asio::steady_timer idleTimer;
    std::uint64_t idleSerial = 0;  // tells a late idle timer whether it still counts
    bool idleArmed = false;
    std::int64_t heardAtMs = 0;      // when the idle time began (steady clock)
    asio::steady_timer answerTimer;  // a delayed answer, or a split answer's second piece
    asio::steady_timer pollTimer;    // the modelled firmware's next look at its buffer
    asio::steady_timer retryTimer;   // the next accept after a failed one
    FrameBounds frames;
    std::optional<std::int64_t> lastFrameAtMs;  // when the last frame began to arrive
    bool readPending = false;                   // a firmware poll is due
    std::vector<std::uint8_t> pendingRead;      // what arrived since that poll was set
    std::string unsent;                         // answer bytes the system has not taken yet
    bool writeWaiting = false;
};

// Whether the listener still serves the connection a late handler was made for.
bool Serves(const Listener& listener, std::uint64_t connection) {
    return listener.client && connection == listener.connectionSerial;
}

// What the engine told: a line, or a result.
struct Told {
    std::string line;
    std::optional<DeviceUploadResult> result;
};

}  // namespace

class DeviceSimulator::Engine {
  public:
    Engine(const DeviceSimulatorOptions& options, DeviceSimulator* owner)
        : options_(options), owner_(owner) {}
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // On the caller's thread, before Run: listens on every address. False with `error` set.
    bool Listen(std::string& error);
    // Starts serving on the engine's own thread.
    void Run();
    int Port() const { return port_; }
    int AddressCount() const { return static_cast<int>(listeners_.size()); }
    bool Busy() const { return busy_.load() > 0; }
    // What was told since the last call, in order.
    std::vector<Told> TakeTold();

  private:
    bool Open(Listener& listener, std::string& error);
    void Accept(Listener& listener);
    void OnNewConnection(Listener& listener, Tcp::socket socket);
    void HeardFrom(Listener& listener);
    void ArmIdleTimer(Listener& listener, int ms);
    void StopIdleTimer(Listener& listener);
    void OnIdleTimer(Listener& listener);
    void WaitReadable(Listener& listener);
    void OnReadable(Listener& listener);
    void OnFirmwarePoll(Listener& listener);
    void OnClientEnded(Listener& listener);
    void Consume(Listener& listener, const std::uint8_t* data, std::size_t size);
    // The firmware models' reason to refuse this read, empty when they take it.
    std::string FirmwareRefusal(Listener& listener, const std::uint8_t* data, std::size_t size);
    void FrameEnded(Listener& listener, int frameNumber);
    void WriteAnswer(Listener& listener, int frameNumber, std::uint64_t connection);
    void Write(Listener& listener, const QByteArray& bytes);
    void WaitWritable(Listener& listener);
    void AfterAnswer(Listener& listener, int frameNumber);
    void EndIfAsked(Listener& listener, int frameNumber);
    void DropConnection(Listener& listener, const std::string& reason, bool reset);
    void CloseClient(Listener& listener, bool reset);
    void Finish(Listener& listener, std::optional<std::string> failure);
    void Say(const Listener& listener, const std::string& line);
    void Say(std::string line);
    void Tell(Told told);

    const DeviceSimulatorOptions& options_;
    DeviceSimulator* owner_;
    asio::io_context loop_{1};
    asio::steady_timer deliveryTimer_{loop_};
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> busy_{0};  // connections being served
    std::vector<std::uint8_t> scratch_ = std::vector<std::uint8_t>(kScratchBytes);

    std::mutex toldMutex_;
    std::vector<Told> told_;    // guarded by toldMutex_
    bool running_ = false;      // guarded by toldMutex_: Run was called
    bool deliveryDue_ = false;  // guarded by toldMutex_: the owner has a Deliver coming
};

DeviceSimulator::Engine::~Engine() {
    loop_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    listeners_.clear();  // closes every socket and timer before the loop goes
}

bool DeviceSimulator::Engine::Listen(std::string& error) {
    port_ = options_.port;
    for (const auto& given : options_.listenAddresses) {
        const auto read = ReadListenAddress(given, error);
        if (!read) {
            listeners_.clear();
            return false;
        }
        auto listener = std::make_unique<Listener>(loop_);
        listener->address = *read;
        listener->closesWhileServing =
            options_.keptListeners != kEveryAddress &&
            listeners_.size() >= static_cast<std::size_t>(std::max(options_.keptListeners, 0));
        if (!Open(*listener, error)) {
            listeners_.clear();
            return false;
        }
        // Every address shares the port chosen first.
        port_ = listener->acceptor.local_endpoint().port();
        Say("listening on " + listener->address + ":" + std::to_string(port_));
        listeners_.push_back(std::move(listener));
    }
    for (auto& listener : listeners_) {
        Accept(*listener);
    }
    return true;
}

void DeviceSimulator::Engine::Run() {
    {
        const std::lock_guard<std::mutex> lock(toldMutex_);
        running_ = true;
    }
    thread_ = std::thread([this] { loop_.run(); });
}

std::vector<Told> DeviceSimulator::Engine::TakeTold() {
    std::vector<Told> told;
    const std::lock_guard<std::mutex> lock(toldMutex_);
    told.swap(told_);
    deliveryDue_ = false;
    return told;
}

bool DeviceSimulator::Engine::Open(Listener& listener, std::string& error) {
    asio::error_code failed;
    const Tcp::endpoint endpoint(asio::ip::make_address(listener.address, failed),
                                 static_cast<unsigned short>(port_));
    if (!failed) {
        listener.acceptor.open(endpoint.protocol(), failed);
    }
    if (!failed) {
        platform::PrepareListeningSocket(
            static_cast<std::intptr_t>(listener.acceptor.native_handle()));
        listener.acceptor.bind(endpoint, failed);
    }
    if (!failed) {
        listener.acceptor.listen(kListenBacklog, failed);
    }
    if (!failed) {
        return true;
    }
    asio::error_code ignored;
    listener.acceptor.close(ignored);
    error = "cannot listen on " + listener.address + ":" + std::to_string(port_) + ": " +
            SystemText(failed);
    return false;
}

void DeviceSimulator::Engine::Accept(Listener& listener) {
    listener.acceptor.async_accept([this, &listener](asio::error_code error, Tcp::socket socket) {
        if (error == asio::error::operation_aborted || !listener.acceptor.is_open()) {
            return;
        }
        if (error) {
            Say(listener, "cannot accept a connection: " + SystemText(error));
            listener.retryTimer.expires_after(std::chrono::milliseconds(kAcceptRetryMs));
            listener.retryTimer.async_wait([this, &listener](asio::error_code cancelled) {
                if (!cancelled && listener.acceptor.is_open()) {
                    Accept(listener);
                }
            });
            return;
        }
        OnNewConnection(listener, std::move(socket));
        if (listener.acceptor.is_open()) {
            Accept(listener);
        }
    });
}

void DeviceSimulator::Engine::OnNewConnection(Listener& listener, Tcp::socket socket) {
    const std::string peer = PeerName(socket);
    asio::error_code ignored;
    // A client that closed just before this connection came (a new upload replacing the old
    // one) had its close reach the loop first: the loop hands on events in the order they came.
    if (listener.client) {
        Say(listener, "refused connection from " + peer + ": an upload is in progress");
        socket.close(ignored);
        return;
    }
    socket.non_blocking(true, ignored);
    listener.client.emplace(std::move(socket));
    listener.peer = peer;
    ++listener.connectionSerial;
    ++busy_;
    listener.parser = std::make_unique<transfer::DeviceStreamParser>(options_.maxImageBytes);
    listener.frames = FrameBounds{};
    listener.lastFrameAtMs.reset();
    listener.readPending = false;
    listener.pendingRead.clear();
    listener.unsent.clear();
    listener.writeWaiting = false;
    Say(listener, "connection from " + peer);
    HeardFrom(listener);
    WaitReadable(listener);
    if (listener.closesWhileServing) {
        listener.acceptor.close(ignored);  // its descriptor serves the connection meanwhile
    }
}

// The idle time counts from now. The timer is not set again on each frame: when it fires early,
// it is set again for the time left.
void DeviceSimulator::Engine::HeardFrom(Listener& listener) {
    listener.heardAtMs = SteadyMs();
    if (!listener.idleArmed) {
        ArmIdleTimer(listener, options_.idleTimeoutMs);
    }
}

void DeviceSimulator::Engine::ArmIdleTimer(Listener& listener, int ms) {
    listener.idleArmed = true;
    const std::uint64_t serial = ++listener.idleSerial;
    listener.idleTimer.expires_after(std::chrono::milliseconds(ms));
    listener.idleTimer.async_wait([this, &listener, serial](asio::error_code error) {
        if (!error && serial == listener.idleSerial) {
            OnIdleTimer(listener);
        }
    });
}

void DeviceSimulator::Engine::StopIdleTimer(Listener& listener) {
    ++listener.idleSerial;
    listener.idleArmed = false;
    listener.idleTimer.cancel();
}

void DeviceSimulator::Engine::OnIdleTimer(Listener& listener) {
    listener.idleArmed = false;
    if (!listener.client) {
        return;
    }
    const int ms = options_.idleTimeoutMs;
    const std::int64_t quiet = SteadyMs() - listener.heardAtMs;
    if (quiet < ms) {
        ArmIdleTimer(listener, static_cast<int>(ms - quiet));
        return;
    }
    DropConnection(listener,
                   "idle time-out: nothing arrived from " + listener.peer + " for " +
                       platform::DurationText(ms) + ", connection dropped",
                   false);
}

// Waits for the socket to have something to read, then reads it without a buffer of the
// connection's own.
void DeviceSimulator::Engine::WaitReadable(Listener& listener) {
    const std::uint64_t connection = listener.connectionSerial;
    listener.client->async_wait(
        Tcp::socket::wait_read, [this, &listener, connection](asio::error_code error) {
            if (error == asio::error::operation_aborted || !Serves(listener, connection)) {
                return;
            }
            OnReadable(listener);
        });
}

// Takes everything there, up to the scratch buffer's size, as one read, then the client's end if
// it came. Reads go on until the system has nothing more: a short read does not show an end that
// arrived together with the data, and no new wake-up would come for it. A read that fills the
// buffer may have left more: the rest is read on a later turn of the loop, so a flooding client
// does not hold up the other addresses.
void DeviceSimulator::Engine::OnReadable(Listener& listener) {
    const std::uint64_t connection = listener.connectionSerial;
    asio::error_code error;
    std::size_t size = 0;
    while (size < scratch_.size() && !error) {
        size += listener.client->receive(
            asio::buffer(scratch_.data() + size, scratch_.size() - size), 0, error);
    }
    const bool drained = error == asio::error::would_block || error == asio::error::try_again;
    const bool ended = error && !drained;
    if (options_.oneFramePerRead) {
        // Such firmware polls its receive buffer: what arrived within one poll period comes out
        // of one read, however quickly this process would have woken up for it.
        listener.pendingRead.insert(listener.pendingRead.end(), scratch_.begin(),
                                    scratch_.begin() + static_cast<std::ptrdiff_t>(size));
        if (ended) {
            OnFirmwarePoll(listener);
        } else if (size > 0 && !listener.readPending) {
            listener.readPending = true;
            listener.pollTimer.expires_after(std::chrono::milliseconds(kFirmwarePollMs));
            listener.pollTimer.async_wait([this, &listener, connection](asio::error_code failed) {
                if (!failed && Serves(listener, connection)) {
                    OnFirmwarePoll(listener);
                }
            });
        }
    } else {
        Consume(listener, scratch_.data(), size);
    }
    if (!Serves(listener, connection)) {
        return;  // what arrived broke a rule and the upload is already reported
    }
    if (ended) {
        OnClientEnded(listener);
    } else if (!drained) {
        asio::post(loop_, [this, &listener, connection] {
            if (Serves(listener, connection)) {
                OnReadable(listener);
            }
        });
    } else {
        WaitReadable(listener);
    }
}

void DeviceSimulator::Engine::OnFirmwarePoll(Listener& listener) {
    listener.readPending = false;
    std::vector<std::uint8_t> read;
    read.swap(listener.pendingRead);
    Consume(listener, read.data(), read.size());
}

void DeviceSimulator::Engine::OnClientEnded(Listener& listener) {
    Say(listener, "connection closed by the client");
    CloseClient(listener, false);
    Finish(listener, std::nullopt);
}

void DeviceSimulator::Engine::Consume(Listener& listener, const std::uint8_t* data,
                                      std::size_t size) {
    if (!listener.client || size == 0) {
        return;
    }
    HeardFrom(listener);
    const std::string refusal = FirmwareRefusal(listener, data, size);
    if (!refusal.empty()) {
        DropConnection(listener, "rejected: " + refusal, false);
        return;
    }
    transfer::DeviceStreamParser& parser = *listener.parser;
    std::size_t offset = 0;
    while (offset < size) {
        const auto result = parser.Feed(data + offset, size - offset);
        offset += result.consumed;
        if (result.violation) {
            DropConnection(listener, "violation: " + parser.Error(), false);
            return;
        }
        if (result.answerDue == transfer::DeviceStreamParser::Frame::kNone) {
            continue;
        }
        const int frameNumber = result.answerDue == transfer::DeviceStreamParser::Frame::kMagicFrame
                                    ? 0
                                    : parser.BlocksReceived();
        if (frameNumber == 0) {
            Say(listener, "magic ok");
        } else {
            Say(listener, "block " + std::to_string(frameNumber) + ": " +
                              std::to_string(parser.LastBlockLength()) + " bytes");
        }
        // Bytes read together with the frame were sent before any answer could have reached
        // the client: leave them to the parser, which refuses them.
        if (offset == size) {
            FrameEnded(listener, frameNumber);
        }
    }
}

std::string DeviceSimulator::Engine::FirmwareRefusal(Listener& listener, const std::uint8_t* data,
                                                     std::size_t size) {
    if (options_.minGapMs <= 0 && !options_.oneFramePerRead) {
        return {};
    }
    const std::int64_t nowMs = SteadyMs();
    for (std::size_t offset = 0; offset < size;) {
        if (listener.frames.AtFrameStart()) {
            const std::string name = listener.frames.Name();
            if (options_.oneFramePerRead && offset > 0) {
                return name +
                       " came in the same read as the frame before it "
                       "(--one-frame-per-read takes each read as one frame)";
            }
            if (options_.minGapMs > 0 && listener.lastFrameAtMs &&
                nowMs - *listener.lastFrameAtMs < options_.minGapMs) {
                return name + " came " + std::to_string(nowMs - *listener.lastFrameAtMs) +
                       " ms after the frame before it, less than --min-gap " +
                       std::to_string(options_.minGapMs) + " ms";
            }
            listener.lastFrameAtMs = nowMs;
        }
        offset += listener.frames.Take(data + offset, size - offset);
    }
    return {};
}

void DeviceSimulator::Engine::FrameEnded(Listener& listener, int frameNumber) {
    if (options_.noAnswerAfter == frameNumber) {
        Say(listener, "not answering " + FrameName(frameNumber) + " (as asked)");
        EndIfAsked(listener, frameNumber);
        return;
    }
    const std::uint64_t connection = listener.connectionSerial;
    if (options_.delayMs > 0) {
        // The client waits for this answer: it is not idle meanwhile.
        StopIdleTimer(listener);
        listener.answerTimer.expires_after(std::chrono::milliseconds(options_.delayMs));
        listener.answerTimer.async_wait(
            [this, &listener, frameNumber, connection](asio::error_code error) {
                if (!error) {
                    WriteAnswer(listener, frameNumber, connection);
                }
            });
        return;
    }
    WriteAnswer(listener, frameNumber, connection);
}

void DeviceSimulator::Engine::WriteAnswer(Listener& listener, int frameNumber,
                                          std::uint64_t connection) {
    if (!Serves(listener, connection)) {
        return;
    }
    const QByteArray& answer = options_.answer;
    if (options_.splitAnswer && answer.size() >= 2) {
        const auto half = answer.size() / 2;
        Write(listener, answer.left(half));
        listener.answerTimer.expires_after(std::chrono::milliseconds(kSplitAnswerGapMs));
        listener.answerTimer.async_wait(
            [this, &listener, frameNumber, connection, half](asio::error_code error) {
                if (error || !Serves(listener, connection)) {
                    return;
                }
                Write(listener, options_.answer.mid(half));
                AfterAnswer(listener, frameNumber);
            });
        return;
    }
    Write(listener, answer);
    AfterAnswer(listener, frameNumber);
}

// Hands the bytes to the system now; what it cannot take yet goes once it makes room. A failed
// send is left to the read side, which sees the connection end.
void DeviceSimulator::Engine::Write(Listener& listener, const QByteArray& bytes) {
    listener.unsent.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (listener.writeWaiting) {
        return;
    }
    asio::error_code error;
    const std::size_t sent = listener.client->send(asio::buffer(listener.unsent), 0, error);
    if (error && error != asio::error::would_block) {
        listener.unsent.clear();
        return;
    }
    listener.unsent.erase(0, sent);
    if (!listener.unsent.empty()) {
        WaitWritable(listener);
    }
}

void DeviceSimulator::Engine::WaitWritable(Listener& listener) {
    listener.writeWaiting = true;
    const std::uint64_t connection = listener.connectionSerial;
    listener.client->async_wait(
        Tcp::socket::wait_write, [this, &listener, connection](asio::error_code error) {
            if (error == asio::error::operation_aborted || !Serves(listener, connection)) {
                return;
            }
            listener.writeWaiting = false;
            if (!error) {
                Write(listener, {});
            }
        });
}

void DeviceSimulator::Engine::AfterAnswer(Listener& listener, int frameNumber) {
    listener.parser->Acknowledge();
    HeardFrom(listener);
    EndIfAsked(listener, frameNumber);
}

void DeviceSimulator::Engine::EndIfAsked(Listener& listener, int frameNumber) {
    if (options_.resetAfter == frameNumber) {
        DropConnection(listener,
                       "resetting the connection after " + FrameName(frameNumber) + " (as asked)",
                       true);
    } else if (options_.closeAfter == frameNumber) {
        Say(listener, "closing the connection after " + FrameName(frameNumber) + " (as asked)");
        CloseClient(listener, false);
        Finish(listener, std::nullopt);
    }
}

// Ends the connection at once: a violation or a stall (reset = false, reported as the failure)
// or the reset fault (reset = true, judged by what arrived).
void DeviceSimulator::Engine::DropConnection(Listener& listener, const std::string& reason,
                                             bool reset) {
    Say(listener, reason);
    CloseClient(listener, reset);
    Finish(listener, reset ? std::nullopt : std::optional<std::string>(reason));
}

void DeviceSimulator::Engine::CloseClient(Listener& listener, bool reset) {
    asio::error_code ignored;
    if (reset) {
        listener.client->set_option(asio::socket_base::linger(true, 0), ignored);
    }
    listener.client->close(ignored);
    listener.client.reset();
    listener.readPending = false;
    listener.pendingRead.clear();
    listener.unsent.clear();
    listener.writeWaiting = false;
}

void DeviceSimulator::Engine::Finish(Listener& listener, std::optional<std::string> failure) {
    StopIdleTimer(listener);
    listener.answerTimer.cancel();
    listener.pollTimer.cancel();
    if (!listener.acceptor.is_open()) {
        std::string error;
        if (Open(listener, error)) {
            Accept(listener);
        } else {
            Say(listener, error);
        }
    }
    transfer::DeviceStreamParser& parser = *listener.parser;
    DeviceUploadResult result;
    result.address = listener.address;
    result.blocks = parser.BlocksReceived();
    result.image = parser.Image();
    if (failure) {
        result.error = *failure;
    } else if (!parser.Finish()) {
        result.error = parser.Error();
    } else if (result.blocks == 0) {
        result.error = "no block arrived after the magic frame";
    } else {
        const auto read = packer::ReadImageDirectory(result.image.data(), result.image.size());
        if (read.ok) {
            result.ok = true;
            result.directory = read.directory;
        } else {
            result.error = "the image is malformed: " + read.error;
        }
    }
    listener.parser.reset();

    if (result.ok) {
        Say(listener, "upload complete: " + std::to_string(result.image.size()) + " bytes, " +
                          std::to_string(result.directory.entries.size()) + " files");
        for (const auto& entry : result.directory.entries) {
            Say(listener, "  " + packer::PrintableName(entry.name) + "  " +
                              std::to_string(entry.size) + " bytes at offset " +
                              std::to_string(entry.offset));
        }
    } else {
        Say(listener, "upload failed: " + result.error);
    }
    --busy_;
    Tell({{}, std::move(result)});
}

void DeviceSimulator::Engine::Say(const Listener& listener, const std::string& line) {
    if (listeners_.size() > 1) {
        Say("[" + listener.address + "] " + line);
    } else {
        Say(line);
    }
}

void DeviceSimulator::Engine::Say(std::string line) {
    Tell({std::move(line), std::nullopt});
}

// Queued from this one thread, the owner's Deliver calls see everything in the order told; one
// is due at a time, so the owner takes many lines in one call.
void DeviceSimulator::Engine::Tell(Told told) {
    {
        const std::lock_guard<std::mutex> lock(toldMutex_);
        told_.push_back(std::move(told));
        if (!running_ || deliveryDue_) {
            return;
        }
        deliveryDue_ = true;
    }
    deliveryTimer_.expires_after(std::chrono::milliseconds(kDeliveryDelayMs));
    deliveryTimer_.async_wait([owner = owner_](asio::error_code error) {
        if (!error) {
            QMetaObject::invokeMethod(
                owner, [owner] { owner->Deliver(); }, Qt::QueuedConnection);
        }
    });
}

DeviceSimulator::DeviceSimulator(DeviceSimulatorOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {}

// The engine's thread ends before anything it tells to could go.
DeviceSimulator::~DeviceSimulator() {
    engine_.reset();
}

bool DeviceSimulator::UploadInProgress() const {
    return engine_ && engine_->Busy();
}

bool DeviceSimulator::Start(std::string& error) {
    if (options_.port < 0 || options_.port > 65535) {
        error = "bad port " + std::to_string(options_.port);
        return false;
    }
    // Only Windows has a socket layer to start.
    if (!platform::SocketLayerStartup()) {
        error = "cannot start the system's sockets";
        return false;
    }
    engine_ = std::make_unique<Engine>(options_, this);
    const bool listening = engine_->Listen(error);
    Deliver();  // the "listening on" lines, before Start returns
    if (!listening) {
        engine_.reset();
        return false;
    }
    port_ = engine_->Port();
    addressCount_ = engine_->AddressCount();
    engine_->Run();
    return true;
}

void DeviceSimulator::Deliver() {
    if (!engine_) {
        return;
    }
    for (Told& item : engine_->TakeTold()) {
        if (item.result) {
            lastResult_ = std::move(*item.result);
            emit UploadFinished(lastResult_.ok);
        } else {
            emit Message(QString::fromStdString(item.line));
        }
    }
}

}  // namespace net
