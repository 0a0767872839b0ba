#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <QByteArray>
#if VELLUMIX_HTTP_PREVIEW
#include <QtHttpServer/QAbstractHttpServer>
#endif

#include "packer/image_reader.h"

namespace net {

inline constexpr const char* kDefaultPreviewAddress = "127.0.0.1";
// What "/" stands for, as on the device.
inline constexpr const char* kPreviewIndexName = "/index.htm";
inline constexpr const char* kDefaultContentType = "application/octet-stream";

// Content type of an image name by its extension (letters in any case): htm/html, css, js,
// png, gif, jpg/jpeg, svg, ico, json, txt; kDefaultContentType for anything else.
std::string ContentTypeFor(const std::string& imageName);

// Whether this build has the preview (the Windows build has no Qt HTTP server module).
inline constexpr bool kHttpPreviewAvailable = VELLUMIX_HTTP_PREVIEW != 0;

#if VELLUMIX_HTTP_PREVIEW
// Serves the pages of a web image over HTTP as the device would: GET of an image name gives
// that file's bytes, "/" gives kPreviewIndexName when the image holds it. Nothing but the
// names in the image is served (no file of the disk is ever read); everything else is 404, and
// methods other than GET are 405. Lives on the thread of its Qt event loop.
class WebPreview : public QAbstractHttpServer {
    Q_OBJECT

  public:
    explicit WebPreview(QObject* parent = nullptr);
    ~WebPreview() override;

    // Listens on a dotted IPv4 address and port (0 = any free one). False with `error` set.
    bool Listen(const std::string& address, int port, std::string& error);
    int Port() const { return port_; }

    // Serves the files of `image` (validated, with `directory` from packer::ReadImageDirectory)
    // from now on, instead of any served before.
    void SetImage(const std::vector<std::uint8_t>& image, const packer::ImageDirectory& directory);
    int PageCount() const { return static_cast<int>(pages_.size()); }

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    std::map<std::string, QByteArray> pages_;  // image name -> content
    int port_ = 0;
};
#else
// Stands in where the build has no preview: Listen always fails and says why.
class WebPreview {
  public:
    bool Listen(const std::string&, int, std::string& error) {
        error = "the web preview is not part of the Windows build";
        return false;
    }
    int Port() const { return 0; }
    void SetImage(const std::vector<std::uint8_t>&, const packer::ImageDirectory&) {}
    int PageCount() const { return 0; }
};
#endif

}  // namespace net
