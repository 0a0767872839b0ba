// vellumix-cli device --http: after an upload, the pages of the image it took are served as
// the device would serve them.

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "support/http_get.h"
#include "support/test_support.h"

namespace {

using testing_support::BackgroundProcess;
using testing_support::CliPath;
using testing_support::ExamplesPath;
using testing_support::HttpGet;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

constexpr int kStartMs = 10000;
constexpr int kUploadMs = 60000;

std::string Capture(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "";
}

TEST(WebPreviewCli, ServesTheUploadedPagesByteForByteAndNothingElse) {
    TempDir dir;
    const std::string ini = dir.Write("Vellumix.ini", "[DEFAULT]\r\n").string();
    BackgroundProcess device(
        {CliPath(), "device", "--listen", "127.0.0.1", "--port", "0", "--http", "0"});
    ASSERT_TRUE(device.WaitForOutput("web preview on", kStartMs)) << device.Output();
    const std::string output = device.Output();
    const std::string devicePort = Capture(output, "listening on 127\\.0\\.0\\.1:(\\d+)\n");
    const std::string httpPort = Capture(output, "web preview on http://127\\.0\\.0\\.1:(\\d+)/");
    ASSERT_FALSE(devicePort.empty()) << output;
    ASSERT_FALSE(httpPort.empty()) << output;
    const int port = std::stoi(httpPort);

    EXPECT_EQ(HttpGet(port, "/index.htm").status, 404) << "nothing before the first upload";

    const auto upload = RunProcess({CliPath(), "upload", (ExamplesPath() / "web").string(),
                                    "--device", "127.0.0.1:" + devicePort, "--ini", ini},
                                   "", {}, kUploadMs);
    ASSERT_EQ(upload.exitCode, 0) << upload.err;
    ASSERT_TRUE(device.WaitForOutput("web preview: 6 files from 127.0.0.1", kStartMs))
        << device.Output();

    const std::filesystem::path web = ExamplesPath() / "web";
    struct Case {
        const char* path;
        std::filesystem::path file;
        const char* type;
    };
    const Case cases[] = {
        {"/", web / "index.htm", "text/html"},
        {"/index.htm", web / "index.htm", "text/html"},
        {"/style.css", web / "style.css", "text/css"},
        {"/js/app.js", web / "js" / "app.js", "text/javascript"},
        {"/status/io.htm", web / "status" / "io.htm", "text/html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto reply = HttpGet(port, c.path);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.contentType, c.type);
        EXPECT_EQ(reply.body, ReadFile(c.file));
    }
    for (const char* path : {"/Vellumix.ini", "/web/index.htm", "/status", "/../index.htm"}) {
        EXPECT_EQ(HttpGet(port, path).status, 404) << path;
    }
}

}  // namespace
