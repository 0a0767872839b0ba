#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

#include <QCoreApplication>
#include <QTime>

#include "cli/commands.h"
#include "cli/output.h"
#include "platform/interrupt_signals_qt.h"
#include "platform/log_listener_qt.h"
#include "platform/pipe_client.h"

namespace cli {

namespace {

struct LogCommandOptions {
    std::string path;
    bool timestamps = false;
};

int RunLog(const LogCommandOptions& options, const CommandContext& context) {
    int argc = 1;
    char name[] = "vellumix-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    // Ctrl+C and kill end the event loop normally, so the listener removes its socket file. Made
    // before the listener and ended after it: no signal in its lifetime can leave the file behind.
    const platform::InterruptSignals quitOnSignal([](int) { QCoreApplication::quit(); });

    platform::LogListener listener(options.path.empty() ? platform::LogPipePath() : options.path);
    QObject::connect(&listener, &platform::LogListener::LineReceived, [&](const QByteArray& line) {
        if (options.timestamps) {
            context.Out() << QTime::currentTime().toString("HH:mm:ss.zzz ").toStdString();
        }
        context.Out().write(line.constData(), line.size());
        context.Out() << std::endl;
    });
    // The lines are what the listener is for; -q leaves out its own notes about clients.
    std::ostringstream discarded;
    std::ostream& notes = context.Quiet() ? discarded : context.Err();
    QObject::connect(&listener, &platform::LogListener::ClientConnected,
                     [&notes] { notes << "client connected" << std::endl; });
    QObject::connect(&listener, &platform::LogListener::ClientDisconnected,
                     [&notes] { notes << "client left" << std::endl; });

    std::string error;
    if (!listener.Start(error)) {
        context.Err() << error << std::endl;
        return kExitFailure;
    }
    if (listener.RemovedStaleSocket()) {
        notes << "removed a stale " << listener.Path() << std::endl;
    }
    notes << "listening on " << listener.Path() << std::endl;
    QCoreApplication::exec();
    return kExitOk;
}

}  // namespace

void AddLogCommand(CLI::App& app, const CommandContext& context, int& exitCode) {
    auto options = std::make_shared<LogCommandOptions>();
    CLI::App* command = app.add_subcommand(
        "log", "Serve the diagnostic pipe and print every line the program writes to it");
    command->add_option("--path", options->path,
                        std::string(platform::LogPipeKindName()) + " to serve (default " +
                            platform::LogPipeDefaultText() + ")");
    command->add_flag("--timestamps", options->timestamps, "Put the local time before each line");
    command->callback([options, &context, &exitCode] { exitCode = RunLog(*options, context); });
}

}  // namespace cli
