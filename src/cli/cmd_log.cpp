#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTime>

#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include "cli/commands.h"
#include "net/log_listener.h"
#include "platform/pipe_client.h"

namespace cli {

namespace {

struct LogCommandOptions {
    std::string path;
    bool timestamps = false;
};

// Ctrl+C and kill end the event loop normally, so the listener removes its socket file.
int quitSignalWriteEnd = -1;

void OnQuitSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(quitSignalWriteEnd, &byte, 1);
}

class QuitOnSignal {
  public:
    QuitOnSignal() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_) != 0) {
            return;
        }
        quitSignalWriteEnd = ends_[1];
        notifier_ = std::make_unique<QSocketNotifier>(ends_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                         [] { QCoreApplication::quit(); });
        std::signal(SIGINT, OnQuitSignal);
        std::signal(SIGTERM, OnQuitSignal);
    }
    ~QuitOnSignal() {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        notifier_.reset();
        for (int end : ends_) {
            if (end >= 0) {
                close(end);
            }
        }
        quitSignalWriteEnd = -1;
    }
    QuitOnSignal(const QuitOnSignal&) = delete;
    QuitOnSignal& operator=(const QuitOnSignal&) = delete;

  private:
    int ends_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

int RunLog(const LogCommandOptions& options) {
    int argc = 1;
    char name[] = "vellumix-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    net::LogListener listener(options.path.empty() ? platform::LogPipePath() : options.path);
    QObject::connect(&listener, &net::LogListener::LineReceived, [&](const QByteArray& line) {
        if (options.timestamps) {
            std::cout << QTime::currentTime().toString("HH:mm:ss.zzz ").toStdString();
        }
        std::cout.write(line.constData(), line.size());
        std::cout << std::endl;
    });
    QObject::connect(&listener, &net::LogListener::ClientConnected,
                     [] { std::cerr << "client connected" << std::endl; });
    QObject::connect(&listener, &net::LogListener::ClientDisconnected,
                     [] { std::cerr << "client left" << std::endl; });

    std::string error;
    if (!listener.Start(error)) {
        std::cerr << error << std::endl;
        return kExitFailure;
    }
    if (listener.RemovedStaleSocket()) {
        std::cerr << "removed a stale " << listener.Path() << std::endl;
    }
    std::cerr << "listening on " << listener.Path() << std::endl;
    QuitOnSignal quitOnSignal;
    QCoreApplication::exec();
    return kExitOk;
}

}  // namespace

void AddLogCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<LogCommandOptions>();
    CLI::App* command = app.add_subcommand(
        "log", "Serve the diagnostic pipe and print every line the program writes to it");
    command->add_option("--path", options->path,
                        "Socket to serve (default $XDG_RUNTIME_DIR/quillTest, else "
                        "/tmp/quillTest)");
    command->add_flag("--timestamps", options->timestamps, "Put the local time before each line");
    command->callback([options, &exitCode] { exitCode = RunLog(*options); });
}

}  // namespace cli
