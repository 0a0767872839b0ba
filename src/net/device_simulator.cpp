#include "net/device_simulator.h"

#include <algorithm>
#include <chrono>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

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

std::string PeerName(const QTcpSocket& socket) {
    return socket.peerAddress().toString().toStdString() + ":" + std::to_string(socket.peerPort());
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

DeviceSimulator::DeviceSimulator(DeviceSimulatorOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {}

DeviceSimulator::~DeviceSimulator() {
    StopShards();
    for (auto& listener : listeners_) {
        if (listener->client != nullptr) {
            listener->client->disconnect(this);
            listener->client->abort();
        }
    }
}

bool DeviceSimulator::UploadInProgress() const {
    for (const Shard& shard : shards_) {
        bool busy = false;
        QMetaObject::invokeMethod(
            shard.simulator, [&] { busy = shard.simulator->UploadInProgress(); },
            Qt::BlockingQueuedConnection);
        if (busy) {
            return true;
        }
    }
    for (const auto& listener : listeners_) {
        if (listener->client != nullptr) {
            return true;
        }
    }
    return false;
}

bool DeviceSimulator::Start(std::string& error) {
    if (options_.port < 0 || options_.port > 65535) {
        error = "bad port " + std::to_string(options_.port);
        return false;
    }
    if (options_.shardAddresses > 0 &&
        options_.listenAddresses.size() > static_cast<std::size_t>(options_.shardAddresses)) {
        return StartShards(error);
    }
    auto port = static_cast<quint16>(options_.port);
    for (const auto& given : options_.listenAddresses) {
        const auto read = ReadListenAddress(given, error);
        if (!read) {
            listeners_.clear();
            return false;
        }
        const std::string& text = *read;
        auto listener = std::make_unique<Listener>();
        listener->address = text;
        listener->server = std::make_unique<QTcpServer>();
        if (!Listen(*listener, port, error)) {
            listeners_.clear();
            return false;
        }
        port = listener->server->serverPort();  // every address shares the port chosen first
        Listener* raw = listener.get();
        listener->idleTimer = std::make_unique<QTimer>();
        listener->idleTimer->setSingleShot(true);
        // A coarse timer may fire 5 % early: the drop would come before the time it names.
        listener->idleTimer->setTimerType(Qt::PreciseTimer);
        connect(listener->idleTimer.get(), &QTimer::timeout, this, [this, raw] {
            if (raw->client != nullptr) {
                const int ms = options_.idleTimeoutMs;
                const std::int64_t quiet = SteadyMs() - raw->heardAtMs;
                if (quiet < ms) {
                    raw->idleTimer->start(static_cast<int>(ms - quiet));
                    return;
                }
                const std::string reason = "idle time-out: nothing arrived from " +
                                           PeerName(*raw->client) + " for " +
                                           (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s"
                                                           : std::to_string(ms) + " ms") +
                                           ", connection dropped";
                DropConnection(*raw, reason, false);
            }
        });
        connect(listener->server.get(), &QTcpServer::newConnection, this,
                [this, raw] { OnNewConnection(*raw); });
        Say("listening on " + text + ":" + std::to_string(port));
        listeners_.push_back(std::move(listener));
    }
    port_ = port;
    addressCount_ = static_cast<int>(listeners_.size());
    return true;
}

bool DeviceSimulator::StartShards(std::string& error) {
    const auto& addresses = options_.listenAddresses;
    const std::size_t total = addresses.size();
    const std::size_t count = (total + options_.shardAddresses - 1) / options_.shardAddresses;
    int port = options_.port;
    for (std::size_t i = 0; i < count; ++i) {
        DeviceSimulatorOptions part = options_;
        part.listenAddresses.assign(
            addresses.begin() + static_cast<std::ptrdiff_t>(i * total / count),
            addresses.begin() + static_cast<std::ptrdiff_t>((i + 1) * total / count));
        part.port = port;
        part.shardAddresses = 0;
        Shard shard;
        shard.thread = std::make_unique<QThread>();
        shard.simulator = new DeviceSimulator(std::move(part));
        DeviceSimulator* simulator = shard.simulator;
        simulator->owner_ = this;
        simulator->moveToThread(shard.thread.get());
        connect(shard.thread.get(), &QThread::finished, simulator, &QObject::deleteLater);
        shard.thread->start();
        shards_.push_back(std::move(shard));
        bool started = false;
        QMetaObject::invokeMethod(
            simulator,
            [&] {
                // Lines and results go over once per turn of the loop, not one wake-up each.
                connect(QThread::currentThread()->eventDispatcher(),
                        &QAbstractEventDispatcher::aboutToBlock, simulator,
                        &DeviceSimulator::HandOver);
                started = simulator->Start(error);
                simulator->HandOver();
            },
            Qt::BlockingQueuedConnection);
        // Its "listening on" lines now: before the next share's, and before a failure is told.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (!started) {
            StopShards();
            return false;
        }
        port = simulator->Port();  // every share listens on the port the first one chose
    }
    port_ = port;
    addressCount_ = static_cast<int>(total);
    return true;
}

// Each share's simulator is deleted on its own thread as that thread ends.
void DeviceSimulator::StopShards() {
    for (Shard& shard : shards_) {
        shard.thread->quit();
        shard.thread->wait();
    }
    shards_.clear();
}

void DeviceSimulator::HandOver() {
    if (told_.empty()) {
        return;
    }
    // Queued from one thread, the batches keep the order in which this share told them.
    QMetaObject::invokeMethod(
        owner_, [owner = owner_, told = std::move(told_)]() mutable { owner->Tell(told); },
        Qt::QueuedConnection);
    told_.clear();
}

void DeviceSimulator::Tell(std::vector<Told>& told) {
    for (Told& item : told) {
        if (item.result) {
            lastResult_ = std::move(*item.result);
            emit UploadFinished(lastResult_.ok);
        } else {
            emit Message(item.line);
        }
    }
}

bool DeviceSimulator::Listen(Listener& listener, quint16 port, std::string& error) {
    if (listener.server->listen(QHostAddress(QString::fromStdString(listener.address)), port)) {
        return true;
    }
    error = "cannot listen on " + listener.address + ":" + std::to_string(port) + ": " +
            listener.server->errorString().toStdString();
    return false;
}

void DeviceSimulator::OnNewConnection(Listener& listener) {
    while (listener.server->hasPendingConnections()) {
        QTcpSocket* socket = listener.server->nextPendingConnection();
        if (listener.client != nullptr) {
            // The client may have closed just before this connection came (a new upload
            // replacing the old one) without that close handled yet: handle what it sent and
            // its close now, in order, so its upload is finished before the new one is judged.
            listener.client->waitForDisconnected(0);
        }
        if (listener.client != nullptr) {
            Say(listener,
                "refused connection from " + PeerName(*socket) + ": an upload is in progress");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        listener.client = socket;
        ++listener.connectionSerial;
        listener.parser = std::make_unique<transfer::DeviceStreamParser>(options_.maxImageBytes);
        listener.frames = FrameBounds{};
        listener.lastFrameAtMs.reset();
        listener.readPending = false;
        Say(listener, "connection from " + PeerName(*socket));
        connect(socket, &QTcpSocket::readyRead, this,
                [this, &listener, socket] { OnReadyRead(listener, socket); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, &listener, socket] { OnDisconnected(listener, socket); });
        HeardFrom(listener);
    }
    if (options_.closeListenerWhileServing && listener.client != nullptr) {
        listener.server->close();  // its descriptor serves the connection meanwhile
    }
}

// The idle time counts from now. The timer is not restarted on each frame (that would cost two
// timer list changes per frame): when it fires early, it is set again for the time left.
void DeviceSimulator::HeardFrom(Listener& listener) {
    listener.heardAtMs = SteadyMs();
    if (!listener.idleTimer->isActive()) {
        listener.idleTimer->start(options_.idleTimeoutMs);
    }
}

void DeviceSimulator::OnReadyRead(Listener& listener, QTcpSocket* socket) {
    if (listener.client == nullptr || socket != listener.client) {
        return;
    }
    if (!options_.oneFramePerRead) {
        Consume(listener, listener.client->readAll());
        return;
    }
    // Such firmware polls its receive buffer: what arrived within one poll period comes out of
    // one read, however quickly this process would have woken up for it.
    if (listener.readPending) {
        return;
    }
    listener.readPending = true;
    const quint64 connection = listener.connectionSerial;
    QTimer::singleShot(kFirmwarePollMs, this, [this, &listener, connection] {
        listener.readPending = false;
        if (listener.client != nullptr && listener.connectionSerial == connection) {
            Consume(listener, listener.client->readAll());
        }
    });
}

void DeviceSimulator::OnDisconnected(Listener& listener, QTcpSocket* socket) {
    if (listener.client == nullptr || socket != listener.client) {
        return;
    }
    Consume(listener, listener.client->readAll());
    if (listener.client == nullptr) {
        return;  // the last bytes broke a rule and the upload is already reported
    }
    Say(listener, "connection closed by the client");
    listener.client = nullptr;
    socket->disconnect(this);
    socket->deleteLater();
    Finish(listener, std::nullopt);
}

void DeviceSimulator::Consume(Listener& listener, const QByteArray& bytes) {
    if (listener.client == nullptr || bytes.isEmpty()) {
        return;
    }
    HeardFrom(listener);
    const std::string refusal = FirmwareRefusal(listener, bytes);
    if (!refusal.empty()) {
        DropConnection(listener, "rejected: " + refusal, false);
        return;
    }
    transfer::DeviceStreamParser& parser = *listener.parser;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const auto size = static_cast<std::size_t>(bytes.size());
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

std::string DeviceSimulator::FirmwareRefusal(Listener& listener, const QByteArray& bytes) {
    if (options_.minGapMs <= 0 && !options_.oneFramePerRead) {
        return {};
    }
    const std::int64_t nowMs = SteadyMs();
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const auto size = static_cast<std::size_t>(bytes.size());
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

void DeviceSimulator::FrameEnded(Listener& listener, int frameNumber) {
    if (options_.noAnswerAfter == frameNumber) {
        Say(listener, "not answering " + FrameName(frameNumber) + " (as asked)");
        EndIfAsked(listener, frameNumber);
        return;
    }
    const quint64 connection = listener.connectionSerial;
    if (options_.delayMs > 0) {
        // The client waits for this answer: it is not idle meanwhile. A precise timer, since a
        // coarse one (Qt's choice from 2 s on) answers a "too late" delay up to 5 % early.
        listener.idleTimer->stop();
        QTimer::singleShot(options_.delayMs, Qt::PreciseTimer, this,
                           [this, &listener, frameNumber, connection] {
                               WriteAnswer(listener, frameNumber, connection);
                           });
        return;
    }
    WriteAnswer(listener, frameNumber, connection);
}

void DeviceSimulator::WriteAnswer(Listener& listener, int frameNumber, quint64 connection) {
    if (listener.client == nullptr || connection != listener.connectionSerial) {
        return;
    }
    const QByteArray& answer = options_.answer;
    if (options_.splitAnswer && answer.size() >= 2) {
        const auto half = answer.size() / 2;
        listener.client->write(answer.left(half));
        listener.client->flush();
        QTimer::singleShot(
            kSplitAnswerGapMs, this, [this, &listener, frameNumber, connection, half] {
                if (listener.client == nullptr || connection != listener.connectionSerial) {
                    return;
                }
                listener.client->write(options_.answer.mid(half));
                listener.client->flush();
                AfterAnswer(listener, frameNumber);
            });
        return;
    }
    listener.client->write(answer);
    listener.client->flush();
    AfterAnswer(listener, frameNumber);
}

void DeviceSimulator::AfterAnswer(Listener& listener, int frameNumber) {
    listener.parser->Acknowledge();
    HeardFrom(listener);
    EndIfAsked(listener, frameNumber);
}

void DeviceSimulator::EndIfAsked(Listener& listener, int frameNumber) {
    if (options_.resetAfter == frameNumber) {
        DropConnection(listener,
                       "resetting the connection after " + FrameName(frameNumber) + " (as asked)",
                       true);
    } else if (options_.closeAfter == frameNumber) {
        Say(listener, "closing the connection after " + FrameName(frameNumber) + " (as asked)");
        QTcpSocket* socket = listener.client;
        listener.client = nullptr;
        socket->disconnect(this);
        socket->disconnectFromHost();
        socket->deleteLater();
        Finish(listener, std::nullopt);
    }
}

// Ends the connection at once: a violation or a stall (reset = false, reported as the failure)
// or the reset fault (reset = true, judged by what arrived).
void DeviceSimulator::DropConnection(Listener& listener, const std::string& reason, bool reset) {
    Say(listener, reason);
    QTcpSocket* socket = listener.client;
    listener.client = nullptr;
    socket->disconnect(this);
    if (reset) {
        platform::SetAbortiveClose(static_cast<std::intptr_t>(socket->socketDescriptor()));
    }
    socket->abort();
    socket->deleteLater();
    Finish(listener, reset ? std::nullopt : std::optional<std::string>(reason));
}

void DeviceSimulator::Finish(Listener& listener, std::optional<std::string> failure) {
    listener.idleTimer->stop();
    if (!listener.server->isListening()) {
        std::string error;
        if (!Listen(listener, static_cast<quint16>(port_), error)) {
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
    if (owner_ != nullptr) {
        told_.push_back({{}, std::move(result)});
        return;
    }
    lastResult_ = std::move(result);
    emit UploadFinished(lastResult_.ok);
}

void DeviceSimulator::Say(const Listener& listener, const std::string& line) {
    if (listeners_.size() > 1 || owner_ != nullptr) {
        Say("[" + listener.address + "] " + line);
    } else {
        Say(line);
    }
}

void DeviceSimulator::Say(const std::string& line) {
    if (owner_ != nullptr) {
        told_.push_back({QString::fromStdString(line), std::nullopt});
        return;
    }
    emit Message(QString::fromStdString(line));
}

}  // namespace net
