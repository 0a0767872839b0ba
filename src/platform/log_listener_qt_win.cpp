#include "platform/log_listener_qt.h"

#include <utility>

#include <QLocalServer>
#include <QLocalSocket>

namespace platform {

// Windows: the pipe is a named pipe served through Qt's local server. There is no socket file
// to check or clean up; a second listener is refused by asking the name first.

struct LogListener::System {
    std::unique_ptr<QLocalServer> server;
    QLocalSocket* client = nullptr;  // owned by server
};

LogListener::LogListener(std::string path, QObject* parent)
    : QObject(parent), path_(std::move(path)), system_(std::make_unique<System>()) {}

LogListener::~LogListener() {
    DropClient();
    if (system_->server) {
        system_->server->close();
    }
}

bool LogListener::HasClient() const {
    return system_->client != nullptr;
}

bool LogListener::Start(std::string& error) {
    std::unique_ptr<QLocalServer>& server = system_->server;
    if (server) {
        error = "already listening on " + path_;
        return false;
    }
    const QString name = QString::fromLocal8Bit(path_.c_str());
    {
        QLocalSocket probe;
        probe.connectToServer(name, QIODevice::WriteOnly);
        if (probe.waitForConnected(200)) {
            probe.abort();
            error = path_ + " is served by another listener";
            return false;
        }
    }
    server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(kLogListenBacklog);
    if (!server->listen(name)) {
        error = "cannot serve " + path_ + ": " + server->errorString().toStdString();
        server.reset();
        return false;
    }
    connect(server.get(), &QLocalServer::newConnection, this, [this] { OnAcceptReady(); });
    return true;
}

void LogListener::OnAcceptReady() {
    if (system_->client != nullptr || !system_->server) {
        return;  // the next client waits its turn
    }
    QLocalSocket* client = system_->server->nextPendingConnection();
    if (client == nullptr) {
        return;
    }
    system_->client = client;
    connect(client, &QLocalSocket::readyRead, this, &LogListener::OnClientReadable);
    connect(client, &QLocalSocket::disconnected, this, &LogListener::OnClientReadable);
    emit ClientConnected();
    OnClientReadable();
}

void LogListener::OnClientReadable() {
    if (system_->client == nullptr) {
        return;
    }
    const QByteArray arrived = system_->client->readAll();
    if (!arrived.isEmpty()) {
        pending_.append(arrived);
        EmitLines();
    }
    if (system_->client->state() == QLocalSocket::ConnectedState) {
        return;
    }
    EndClient();
    if (system_->server && system_->server->hasPendingConnections()) {
        OnAcceptReady();
    }
}

void LogListener::DropClient() {
    QLocalSocket* client = std::exchange(system_->client, nullptr);
    if (client == nullptr) {
        return;
    }
    client->disconnect(this);
    client->abort();
    // Possibly called from the socket's own signal: let Qt finish with it first.
    client->deleteLater();
}

}  // namespace platform
