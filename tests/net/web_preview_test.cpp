#include "net/web_preview.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/net_test_support.h"
#include "packer/image_reader.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "support/fake_message_box.h"
#include "support/http_get.h"
#include "support/test_support.h"

namespace {

using testing_support::HttpGet;
using testing_support::HttpReply;
using testing_support::TempDir;

// Bytes that a text-minded server would mangle: zeros, 0xFF, CR LF, a lone CR.
std::string BinaryContent() {
    std::string bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes.push_back(static_cast<char>((i * 37) & 0xFF));
    }
    return bytes + std::string("\0\r\n\r\xFF", 5);
}

// Packs `files` (relative path -> content) as the uploader does and reads the image back as
// the device would.
struct PackedImage {
    std::vector<std::uint8_t> bytes;
    packer::ImageDirectory directory;
};

PackedImage Pack(const std::vector<std::pair<std::string, std::string>>& files) {
    TempDir dir;
    for (const auto& [path, content] : files) {
        dir.Write("web/" + path, content);
    }
    packer::PackLimits limits;
    packer::WebFileTable table(limits.maxFileCount);
    packer::WebImage image;
    testing_support::FakeMessageBox messages;
    PackedImage packed;
    if (packer::BuildWebImage((dir.path() / "web").string(), limits, table, image, messages) != 1) {
        ADD_FAILURE() << "the test image did not build: "
                      << ::testing::PrintToString(messages.Texts());
        return packed;
    }
    EXPECT_EQ(messages.Texts(), std::vector<std::string>{});
    packed.bytes.assign(image.imageBuffer.begin(), image.imageBuffer.begin() + image.usedLength);
    const auto read = packer::ReadImageDirectory(packed.bytes.data(), packed.bytes.size());
    EXPECT_TRUE(read.ok) << read.error;
    packed.directory = read.directory;
    return packed;
}

// Runs the requests on a thread of their own while this thread serves them.
std::vector<HttpReply> Fetch(int port, const std::vector<std::string>& paths,
                             const std::string& method = "GET") {
    std::vector<HttpReply> replies;
    std::atomic<bool> done{false};
    std::thread client([&] {
        for (const auto& path : paths) {
            replies.push_back(testing_support::HttpRequest(port, method, path));
        }
        done = true;
    });
    net_testing::WaitUntil([&] { return done.load(); }, 4 * net_testing::kWaitMs);
    client.join();
    return replies;
}

class WebPreviewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(preview_.Listen("127.0.0.1", 0, error)) << error;
        ASSERT_GT(preview_.Port(), 0);
    }

    net::WebPreview preview_;
};

TEST_F(WebPreviewTest, ServesEveryPageOfTheImageByteForByte) {
    const std::string index = "<html><body>index</body></html>\r\n";
    const std::string binary = BinaryContent();
    const std::string spaced = "page with a space in its name";
    const auto image = Pack({{"index.htm", index},
                             {"img/logo.png", binary},
                             {"my page.htm", spaced},
                             {"style.css", "body{}"}});
    preview_.SetImage(image.bytes, image.directory);
    EXPECT_EQ(preview_.PageCount(), 4);

    struct Case {
        const char* path;
        std::string body;
        const char* type;
    };
    const Case cases[] = {
        {"/index.htm", index, "text/html"},     {"/", index, "text/html"},
        {"/img/logo.png", binary, "image/png"}, {"/my%20page.htm", spaced, "text/html"},
        {"/style.css", "body{}", "text/css"},   {"/style.css?version=2", "body{}", "text/css"},
    };
    std::vector<std::string> paths;
    for (const auto& c : cases) {
        paths.push_back(c.path);
    }
    const auto replies = Fetch(preview_.Port(), paths);
    ASSERT_EQ(replies.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].path);
        EXPECT_EQ(replies[i].status, 200);
        EXPECT_EQ(replies[i].body, cases[i].body);
        EXPECT_EQ(replies[i].contentType, cases[i].type);
    }
}

TEST_F(WebPreviewTest, RefusesEveryNameThatIsNotInTheImage) {
    TempDir disk;
    disk.Write("secret.txt", "must never be served");
    const auto image = Pack({{"index.htm", "x"}, {"img/a.gif", "GIF89a"}});
    preview_.SetImage(image.bytes, image.directory);

    const std::vector<std::string> paths = {
        "/missing.htm",
        "/INDEX.HTM",  // names are matched exactly, as stored
        "/img",
        "/img/",
        "/index.htm%00",
        "/../secret.txt",
        "/%2e%2e/secret.txt",
        (disk.path() / "secret.txt").string(),
        "/etc/passwd",
    };
    const auto replies = Fetch(preview_.Port(), paths);
    ASSERT_EQ(replies.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_EQ(replies[i].status, 404);
        EXPECT_EQ(replies[i].body.find("must never"), std::string::npos);
    }
}

TEST_F(WebPreviewTest, RootIsNotFoundWithoutAnIndexAndNothingIsServedBeforeAnImage) {
    EXPECT_EQ(Fetch(preview_.Port(), {"/", "/index.htm"})[1].status, 404);

    const auto image = Pack({{"main.html", "no index.htm here"}});
    preview_.SetImage(image.bytes, image.directory);
    const auto replies = Fetch(preview_.Port(), {"/", "/main.html"});
    EXPECT_EQ(replies[0].status, 404);
    EXPECT_EQ(replies[1].status, 200);
}

TEST_F(WebPreviewTest, NewImageReplacesTheOldPagesAndOnlyGetIsServed) {
    const auto first = Pack({{"index.htm", "first"}, {"old.htm", "old"}});
    preview_.SetImage(first.bytes, first.directory);
    const auto second = Pack({{"index.htm", "second"}});
    preview_.SetImage(second.bytes, second.directory);

    const auto replies = Fetch(preview_.Port(), {"/index.htm", "/old.htm"});
    EXPECT_EQ(replies[0].body, "second");
    EXPECT_EQ(replies[1].status, 404);
    EXPECT_EQ(Fetch(preview_.Port(), {"/index.htm"}, "POST")[0].status, 405);
}

TEST(WebPreviewListenTest, RefusesABadAddressOrATakenPort) {
    net::WebPreview running;
    std::string error;
    ASSERT_TRUE(running.Listen("127.0.0.1", 0, error)) << error;
    const struct {
        const char* address;
        int port;
    } cases[] = {{"not-an-address", 0}, {"::1", 0}, {"127.0.0.1", running.Port()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        net::WebPreview preview;
        error.clear();
        EXPECT_FALSE(preview.Listen(c.address, c.port, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ContentTypeForTest, KnowsTheUsualWebTypesAndFallsBackToOctetStream) {
    const std::pair<const char*, const char*> cases[] = {
        {"/index.htm", "text/html"},
        {"/a/b.HTML", "text/html"},
        {"/s.css", "text/css"},
        {"/app.js", "text/javascript"},
        {"/i.png", "image/png"},
        {"/i.gif", "image/gif"},
        {"/i.jpg", "image/jpeg"},
        {"/i.JPEG", "image/jpeg"},
        {"/i.svg", "image/svg+xml"},
        {"/favicon.ico", "image/x-icon"},
        {"/data.json", "application/json"},
        {"/readme.txt", "text/plain"},
        {"/firmware.bin", "application/octet-stream"},
        {"/noextension", "application/octet-stream"},
        {"/dir.d/noextension", "application/octet-stream"},
        {"/trailingdot.", "application/octet-stream"},
    };
    for (const auto& [name, type] : cases) {
        EXPECT_EQ(net::ContentTypeFor(name), type) << name;
    }
}

}  // namespace
