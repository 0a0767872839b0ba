#include "net/device_simulator.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

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

std::string PeerName(const QTcpSocket& socket) {
    return socket.peerAddress().toString().toStdString() + ":" + std::to_string(socket.peerPort());
}

}  // namespace

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

DeviceSimulator::DeviceSimulator(DeviceSimulatorOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), idleTimer_(std::make_unique<QTimer>()) {
    idleTimer_->setSingleShot(true);
    connect(idleTimer_.get(), &QTimer::timeout, this, [this] {
        if (client_ != nullptr) {
            const std::string reason =
                "nothing arrived for " + std::to_string(options_.idleTimeoutMs) + " ms";
            DropConnection(reason, false);
        }
    });
}

DeviceSimulator::~DeviceSimulator() {
    if (client_ != nullptr) {
        client_->disconnect(this);
        client_->abort();
    }
}

bool DeviceSimulator::Start(std::string& error) {
    if (options_.port < 0 || options_.port > 65535) {
        error = "bad port " + std::to_string(options_.port);
        return false;
    }
    auto port = static_cast<quint16>(options_.port);
    for (const auto& text : options_.listenAddresses) {
        QHostAddress address;
        if (!address.setAddress(QString::fromStdString(text))) {
            error = "not an IP address: " + text;
            servers_.clear();
            return false;
        }
        auto server = std::make_unique<QTcpServer>();
        if (!server->listen(address, port)) {
            error = "cannot listen on " + text + ":" + std::to_string(port) + ": " +
                    server->errorString().toStdString();
            servers_.clear();
            return false;
        }
        port = server->serverPort();  // every address shares the port chosen first
        QTcpServer* raw = server.get();
        connect(raw, &QTcpServer::newConnection, this, [this, raw] { OnNewConnection(raw); });
        Say("listening on " + text + ":" + std::to_string(port));
        servers_.push_back(std::move(server));
    }
    port_ = port;
    return true;
}

void DeviceSimulator::OnNewConnection(QTcpServer* server) {
    while (server->hasPendingConnections()) {
        QTcpSocket* socket = server->nextPendingConnection();
        if (client_ != nullptr) {
            Say("refused connection from " + PeerName(*socket) + ": an upload is in progress");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        client_ = socket;
        ++connectionSerial_;
        parser_ = std::make_unique<transfer::DeviceStreamParser>(options_.maxImageBytes);
        Say("connection from " + PeerName(*socket));
        connect(socket, &QTcpSocket::readyRead, this, &DeviceSimulator::OnReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &DeviceSimulator::OnDisconnected);
        idleTimer_->start(options_.idleTimeoutMs);
    }
}

void DeviceSimulator::OnReadyRead() {
    if (client_ != nullptr && sender() == client_) {
        Consume(client_->readAll());
    }
}

void DeviceSimulator::OnDisconnected() {
    if (client_ == nullptr || sender() != client_) {
        return;
    }
    Consume(client_->readAll());
    if (client_ == nullptr) {
        return;  // the last bytes broke a rule and the upload is already reported
    }
    Say("connection closed by the client");
    QTcpSocket* socket = client_;
    client_ = nullptr;
    socket->disconnect(this);
    socket->deleteLater();
    Finish(std::nullopt);
}

void DeviceSimulator::Consume(const QByteArray& bytes) {
    if (client_ == nullptr || bytes.isEmpty()) {
        return;
    }
    idleTimer_->start(options_.idleTimeoutMs);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const auto size = static_cast<std::size_t>(bytes.size());
    std::size_t offset = 0;
    while (offset < size) {
        const auto result = parser_->Feed(data + offset, size - offset);
        offset += result.consumed;
        if (result.violation) {
            DropConnection("violation: " + parser_->Error(), false);
            return;
        }
        if (result.answerDue == transfer::DeviceStreamParser::Frame::kNone) {
            continue;
        }
        const int frameNumber = result.answerDue == transfer::DeviceStreamParser::Frame::kMagicFrame
                                    ? 0
                                    : parser_->BlocksReceived();
        if (frameNumber == 0) {
            Say("magic ok");
        } else {
            Say("block " + std::to_string(frameNumber) + ": " +
                std::to_string(parser_->LastBlockLength()) + " bytes");
        }
        // Bytes read together with the frame were sent before any answer could have reached
        // the client: leave them to the parser, which refuses them.
        if (offset == size) {
            FrameEnded(frameNumber);
        }
    }
}

void DeviceSimulator::FrameEnded(int frameNumber) {
    if (options_.noAnswerAfter == frameNumber) {
        Say("not answering " + FrameName(frameNumber) + " (as asked)");
        EndIfAsked(frameNumber);
        return;
    }
    const quint64 connection = connectionSerial_;
    if (options_.delayMs > 0) {
        QTimer::singleShot(options_.delayMs, this, [this, frameNumber, connection] {
            WriteAnswer(frameNumber, connection);
        });
        return;
    }
    WriteAnswer(frameNumber, connection);
}

void DeviceSimulator::WriteAnswer(int frameNumber, quint64 connection) {
    if (client_ == nullptr || connection != connectionSerial_) {
        return;
    }
    const QByteArray& answer = options_.answer;
    if (options_.splitAnswer && answer.size() >= 2) {
        const auto half = answer.size() / 2;
        client_->write(answer.left(half));
        client_->flush();
        QTimer::singleShot(kSplitAnswerGapMs, this, [this, frameNumber, connection, half] {
            if (client_ == nullptr || connection != connectionSerial_) {
                return;
            }
            client_->write(options_.answer.mid(half));
            client_->flush();
            AfterAnswer(frameNumber);
        });
        return;
    }
    client_->write(answer);
    client_->flush();
    AfterAnswer(frameNumber);
}

void DeviceSimulator::AfterAnswer(int frameNumber) {
    parser_->Acknowledge();
    idleTimer_->start(options_.idleTimeoutMs);
    EndIfAsked(frameNumber);
}

void DeviceSimulator::EndIfAsked(int frameNumber) {
    if (options_.resetAfter == frameNumber) {
        DropConnection("resetting the connection after " + FrameName(frameNumber) + " (as asked)",
                       true);
    } else if (options_.closeAfter == frameNumber) {
        Say("closing the connection after " + FrameName(frameNumber) + " (as asked)");
        QTcpSocket* socket = client_;
        client_ = nullptr;
        socket->disconnect(this);
        socket->disconnectFromHost();
        socket->deleteLater();
        Finish(std::nullopt);
    }
}

// Ends the connection at once: a violation or a stall (reset = false, reported as the failure)
// or the reset fault (reset = true, judged by what arrived).
void DeviceSimulator::DropConnection(const std::string& reason, bool reset) {
    Say(reason);
    QTcpSocket* socket = client_;
    client_ = nullptr;
    socket->disconnect(this);
    if (reset) {
        const linger abortive{1, 0};
        setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                   sizeof abortive);
    }
    socket->abort();
    socket->deleteLater();
    Finish(reset ? std::nullopt : std::optional<std::string>(reason));
}

void DeviceSimulator::Finish(std::optional<std::string> failure) {
    idleTimer_->stop();
    DeviceUploadResult result;
    result.blocks = parser_->BlocksReceived();
    result.image = parser_->Image();
    if (failure) {
        result.error = *failure;
    } else if (!parser_->Finish()) {
        result.error = parser_->Error();
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
    parser_.reset();

    if (result.ok) {
        Say("upload complete: " + std::to_string(result.image.size()) + " bytes, " +
            std::to_string(result.directory.entries.size()) + " files");
        for (const auto& entry : result.directory.entries) {
            Say("  " + entry.name + "  " + std::to_string(entry.size) + " bytes at offset " +
                std::to_string(entry.offset));
        }
    } else {
        Say("upload failed: " + result.error);
    }
    lastResult_ = std::move(result);
    emit UploadFinished(lastResult_.ok);
}

void DeviceSimulator::Say(const std::string& line) {
    emit Message(QString::fromStdString(line));
}

}  // namespace net
