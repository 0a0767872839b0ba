#include "net/web_preview.h"

#include <algorithm>
#include <cctype>

#include <QHostAddress>
#include <QtHttpServer/QHttpServerRequest>
#include <QtHttpServer/QHttpServerResponder>

#include "transfer/ipv4_text.h"

namespace net {

namespace {

using StatusCode = QHttpServerResponder::StatusCode;

struct ContentType {
    const char* extension;
    const char* type;
};

constexpr ContentType kContentTypes[] = {
    {"htm", "text/html"},      {"html", "text/html"},        {"css", "text/css"},
    {"js", "text/javascript"}, {"png", "image/png"},         {"gif", "image/gif"},
    {"jpg", "image/jpeg"},     {"jpeg", "image/jpeg"},       {"svg", "image/svg+xml"},
    {"ico", "image/x-icon"},   {"json", "application/json"}, {"txt", "text/plain"},
};

constexpr char kTextType[] = "text/plain";
constexpr char kNotFoundText[] = "404 not found\n";
constexpr char kNotAllowedText[] = "405 only GET is served\n";

// The request's path as raw bytes: percent escapes decoded, nothing else changed, so that it
// compares byte for byte with the 8-bit names of the image.
std::string RequestedName(const QHttpServerRequest& request) {
    const QByteArray encoded = request.url().path(QUrl::FullyEncoded).toLatin1();
    return QByteArray::fromPercentEncoding(encoded).toStdString();
}

}  // namespace

std::string ContentTypeFor(const std::string& imageName) {
    const std::size_t slash = imageName.rfind('/');
    const std::size_t dot = imageName.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return kDefaultContentType;
    }
    std::string extension = imageName.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& entry : kContentTypes) {
        if (extension == entry.extension) {
            return entry.type;
        }
    }
    return kDefaultContentType;
}

WebPreview::WebPreview(QObject* parent) : QAbstractHttpServer(parent) {}

WebPreview::~WebPreview() = default;

bool WebPreview::Listen(const std::string& address, int port, std::string& error) {
    const transfer::Ipv4Text read = transfer::ReadIpv4Text(address);
    if (read.kind != transfer::Ipv4Text::Kind::kAddress) {
        error = "not an IPv4 address: " + address;
        if (!read.reason.empty()) {
            error += " (" + read.reason + ")";
        }
        return false;
    }
    const QHostAddress host(read.address);
    if (port < 0 || port > 65535) {
        error = "bad port " + std::to_string(port);
        return false;
    }
    const quint16 bound = listen(host, static_cast<quint16>(port));
    if (bound == 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port);
        return false;
    }
    port_ = bound;
    return true;
}

void WebPreview::SetImage(const std::vector<std::uint8_t>& image,
                          const packer::ImageDirectory& directory) {
    pages_.clear();
    for (const auto& entry : directory.entries) {
        const std::size_t end = static_cast<std::size_t>(entry.offset) + entry.size;
        if (end > image.size()) {
            continue;  // a validated directory never gets here; an unchecked one is not trusted
        }
        pages_[entry.name] = QByteArray(reinterpret_cast<const char*>(image.data()) + entry.offset,
                                        static_cast<qsizetype>(entry.size));
    }
}

bool WebPreview::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    if (request.method() != QHttpServerRequest::Method::Get) {
        responder.write(QByteArray(kNotAllowedText), kTextType, StatusCode::MethodNotAllowed);
        return true;
    }
    std::string name = RequestedName(request);
    if (name == "/") {
        name = kPreviewIndexName;
    }
    const auto page = pages_.find(name);
    if (page == pages_.end()) {
        responder.write(QByteArray(kNotFoundText), kTextType, StatusCode::NotFound);
        return true;
    }
    responder.write(page->second, QByteArray::fromStdString(ContentTypeFor(name)));
    return true;
}

void WebPreview::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket)
        .write(QByteArray(kNotFoundText), kTextType, StatusCode::NotFound);
}

}  // namespace net
