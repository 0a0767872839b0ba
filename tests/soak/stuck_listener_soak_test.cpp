// A whole 192 KiB upload (385 frames, about a minute) while the diagnostic listener reads
// nothing at all: its pipe fills after a few dozen lines, one line waits its bounded time, the
// rest are dropped, and the upload ends in "Web Server Update OK!" in about its usual time.

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <QElapsedTimer>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/log_pipe.h"
#include "platform/pipe_client.h"
#include "soak/soak_support.h"
#include "support/scripted_device.h"
#include "support/silent_listener.h"
#include "support/test_support.h"
#include "support/upload_host.h"
#include "transfer/upload_sequencer.h"

namespace {

using testing_support::SilentListener;

constexpr std::int32_t kFullImageBytes = 196608;
constexpr int kFullImageFrames = 385;
constexpr int kSlackMs = 5000;

TEST(StuckListenerSoakTest, FullImageUploadSucceedsWhileTheListenerReadsNothing) {
    testing_support::TempDir runtime;
    soak::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", runtime.path().string());
    SilentListener listener(platform::LogPipePath());
    ASSERT_TRUE(listener.Listening());
    app::LogPipe pipe;
    ASSERT_EQ(pipe.Open(), 1);

    // The default limits and one file that fills the image to its last byte.
    packer::PackLimits limits;
    testing_support::TempDir web;
    const std::size_t fileBytes =
        static_cast<std::size_t>(kFullImageBytes - limits.maxFileCount * 32);
    std::string content(fileBytes, '\0');
    for (std::size_t i = 0; i < fileBytes; ++i) {
        content[i] = static_cast<char>(i * 13 + 5);
    }
    web.Write("index.htm", content);

    testing_support::ScriptedDevice device(testing_support::GoodDevice());
    testing_support::UploadHost::Options options;
    options.folder = web.path().string();
    options.address = "127.0.0.1";
    options.port = device.Port();
    options.limits = limits;
    testing_support::FakeMessageBox messages;
    int totalFrames = 0;
    testing_support::UploadHost host(options, &pipe, messages);
    host.SetProgressCallback([&](float, int, int total) { totalFrames = total; });

    QElapsedTimer timer;
    timer.start();
    const bool ok = host.Run();
    const auto elapsed = timer.elapsed();
    const long dropped = pipe.DroppedLines();
    pipe.Close();

    EXPECT_TRUE(ok);
    EXPECT_EQ(messages.Texts(), std::vector<std::string>{"Web Server Update OK!"});
    EXPECT_EQ(totalFrames, kFullImageFrames);
    // One tick per frame and the closing tick, one line's full wait, slack.
    EXPECT_LT(elapsed, (kFullImageFrames + 1) * transfer::kTimerPeriodMs +
                           platform::kPipeWriteTimeoutMs + kSlackMs);
    EXPECT_GT(dropped, 0) << "the pipe never filled";

    const std::string log = listener.TakeEverything();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n') << "the listener got half a line";
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at) {
        ++lines;
    }
    std::cout << "stuck listener: " << totalFrames << " frames in " << elapsed << " ms, " << lines
              << " lines reached the listener, " << dropped << " dropped" << std::endl;
}

}  // namespace
