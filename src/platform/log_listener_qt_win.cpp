#include "platform/log_listener_qt.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>

namespace platform {

// Windows: the pipe is a named pipe served through Qt's local server. There is no socket file
// to check or clean up; a second listener is refused by asking the name first.

LogListener::LogListener(std::string path, QObject* parent)
    : QObject(parent), path_(std::move(path)) {}

LogListener::~LogListener() {
    DropClient();
    if (server_) {
        server_->close();
    }
}

bool LogListener::Start(std::string& error) {
    if (server_) {
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
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    server_->setMaxPendingConnections(kLogListenBacklog);
    if (!server_->listen(name)) {
        error = "cannot serve " + path_ + ": " + server_->errorString().toStdString();
        server_.reset();
        return false;
    }
    connect(server_.get(), &QLocalServer::newConnection, this, &LogListener::OnNewConnection);
    return true;
}

void LogListener::OnNewConnection() {
    OnAcceptReady();
}

void LogListener::OnAcceptReady() {
    if (clientSocket_ != nullptr || !server_) {
        return;  // the next client waits its turn
    }
    QLocalSocket* client = server_->nextPendingConnection();
    if (client == nullptr) {
        return;
    }
    clientSocket_ = client;
    client_ = 1;
    connect(client, &QLocalSocket::readyRead, this, &LogListener::OnClientReadable);
    connect(client, &QLocalSocket::disconnected, this, &LogListener::OnClientReadable);
    emit ClientConnected();
    OnClientReadable();
}

void LogListener::OnClientReadable() {
    if (clientSocket_ == nullptr) {
        return;
    }
    const QByteArray arrived = clientSocket_->readAll();
    if (!arrived.isEmpty()) {
        pending_.append(arrived);
        EmitLines();
    }
    if (clientSocket_->state() == QLocalSocket::ConnectedState) {
        return;
    }
    EndClient();
    if (server_ && server_->hasPendingConnections()) {
        OnAcceptReady();
    }
}

void LogListener::DropClient() {
    if (clientSocket_ == nullptr) {
        return;
    }
    QLocalSocket* client = clientSocket_;
    clientSocket_ = nullptr;
    client_ = -1;
    client->disconnect(this);
    client->abort();
    // Possibly called from the socket's own signal: let Qt finish with it first.
    client->deleteLater();
}

}  // namespace platform
