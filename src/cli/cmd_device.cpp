#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <QCoreApplication>
#include <QTimer>

#include "cli/commands.h"
#include "cli/output.h"
#include "net/device_simulator.h"
#include "net/web_preview.h"
#include "packer/image_reader.h"
#include "platform/file_replace.h"
#include "platform/open_file_limit.h"

namespace cli {

namespace {

constexpr int kNoHttp = -1;
// Descriptors kept free beside the addresses' sockets (the log, the web preview).
constexpr long kSpareDeviceDescriptors = 8;
constexpr std::size_t kFlushEachLineUpTo = 20;
constexpr int kFlushPeriodMs = 100;

struct DeviceCommandOptions {
    std::vector<std::string> listen;
    std::vector<std::string> listenRanges;
    int port = net::kDefaultDevicePort;
    bool once = false;
    std::string save;
    std::string extract;
    int noAnswerAfter = net::kNoFrame;
    int delayMs = 0;
    std::string answer = "OK";
    bool splitAnswer = false;
    int closeAfter = net::kNoFrame;
    int resetAfter = net::kNoFrame;
    double idleTimeoutSeconds = net::kDeviceIdleTimeoutMs / 1000.0;
    int minGapMs = 0;
    bool oneFramePerRead = false;
    int httpPort = kNoHttp;
    std::string httpListen = net::kDefaultPreviewAddress;
};

// Written as `pack -o` writes: a file is replaced atomically, a link keeps pointing to it, a
// device or FIFO is written as a stream, a folder is refused.
platform::Error SaveImage(const std::vector<std::uint8_t>& image, const std::string& path) {
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    return platform::WriteOutputFile(path, bytes);
}

// Keeps a good image as asked; false (with the reason on stderr) when that fails. With several
// addresses each keeps its own: the file gets ".ADDRESS" appended, the folder a sub-folder
// named by the address.
bool KeepImage(const DeviceCommandOptions& options, const net::DeviceUploadResult& result,
               bool perAddress, const CommandContext& context) {
    if (!options.save.empty()) {
        const std::string path = perAddress ? options.save + "." + result.address : options.save;
        if (const platform::Error error = SaveImage(result.image, path)) {
            context.Err() << error.text << std::endl;
            return false;
        }
        if (!context.Quiet()) {
            context.Out() << "saved " << path << std::endl;
        }
    }
    if (!options.extract.empty()) {
        const std::string folder =
            perAddress ? options.extract + "/" + result.address : options.extract;
        if (const platform::Error error = packer::ExtractImage(
                result.image.data(), result.image.size(), result.directory, folder)) {
            context.Err() << "cannot extract into " << folder << ": " << error.text << std::endl;
            return false;
        }
        if (!context.Quiet()) {
            context.Out() << "extracted into " << folder << std::endl;
        }
    }
    return true;
}

// --listen and the addresses of every --listen-range, in that order and without leading zeros;
// nullopt after printing why an address or a range is refused.
std::optional<std::vector<std::string>> ListenAddresses(const DeviceCommandOptions& options,
                                                        std::ostream& err) {
    std::vector<std::string> addresses;
    for (const auto& text : options.listen) {
        std::string error;
        const auto address = net::ReadListenAddress(text, error);
        if (!address) {
            err << "--listen: " << error << std::endl;
            return std::nullopt;
        }
        addresses.push_back(*address);
    }
    for (const auto& range : options.listenRanges) {
        std::string error;
        const auto expanded = net::ExpandAddressRange(range, error);
        if (!expanded) {
            err << "--listen-range: " << error << std::endl;
            return std::nullopt;
        }
        addresses.insert(addresses.end(), expanded->begin(), expanded->end());
    }
    return addresses;
}

int RunDevice(const DeviceCommandOptions& options, const CommandContext& context) {
    const auto answer = net::DecodeCEscapes(options.answer);
    if (!answer) {
        context.Err() << "bad escape in --answer " << options.answer << std::endl;
        return kExitUsage;
    }
    const auto addresses = ListenAddresses(options, context.Err());
    if (!addresses) {
        return kExitUsage;
    }
    std::string listenError;
    const auto httpListen = net::ReadListenAddress(options.httpListen, listenError);
    if (!httpListen || httpListen->find(':') != std::string::npos) {
        context.Err() << "--http-listen: "
                      << (httpListen ? "not an IPv4 address: " + options.httpListen : listenError)
                      << std::endl;
        return kExitUsage;
    }
    int argc = 1;
    char name[] = "vellumix-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    net::DeviceSimulatorOptions simulatorOptions;
    if (!addresses->empty()) {
        simulatorOptions.listenAddresses = *addresses;
    }
    simulatorOptions.port = options.port;
    simulatorOptions.noAnswerAfter = options.noAnswerAfter;
    simulatorOptions.delayMs = options.delayMs;
    simulatorOptions.answer = *answer;
    simulatorOptions.splitAnswer = options.splitAnswer;
    simulatorOptions.closeAfter = options.closeAfter;
    simulatorOptions.resetAfter = options.resetAfter;
    simulatorOptions.idleTimeoutMs = static_cast<int>(options.idleTimeoutSeconds * 1000.0 + 0.5);
    simulatorOptions.minGapMs = options.minGapMs;
    simulatorOptions.oneFramePerRead = options.oneFramePerRead;

    std::unique_ptr<net::WebPreview> preview;
    if (options.httpPort != kNoHttp) {
        preview = std::make_unique<net::WebPreview>();
        std::string error;
        if (!preview->Listen(*httpListen, options.httpPort, error)) {
            context.Err() << "--http: " << error << std::endl;
            return kExitFailure;
        }
    }

    // Every address takes a listening socket and, while it takes an upload, a connection.
    const long spare = platform::SpareFileDescriptors();
    const long addressCount = static_cast<long>(simulatorOptions.listenAddresses.size());
    const long needed = 2 * addressCount;
    const long allowed = std::max(0L, spare - kSpareDeviceDescriptors);
    if (spare >= 0 && needed > allowed) {
        // An address that stops listening while it serves holds one socket at a time (briefly
        // two, as it takes a connection; one address at a time does). As many as the rest of
        // the limit allows keep listening.
        if (addressCount + 1 > allowed) {
            context.Err() << addressCount << " addresses need " << needed
                          << " sockets; the open-file limit allows " << allowed
                          << " (raise it with ulimit -n, or listen on fewer addresses)"
                          << std::endl;
            return kExitFailure;
        }
        const long kept = allowed - addressCount - 1;
        simulatorOptions.keptListeners = static_cast<int>(kept);
        context.Err() << "warning: " << addressCount << " addresses need " << needed
                      << " sockets; the open-file limit allows " << allowed << ": "
                      << addressCount - kept
                      << " of them stop listening while they take an upload (another client is "
                         "refused meanwhile)"
                      << std::endl;
    }

    net::DeviceSimulator simulator(simulatorOptions);
    // The simulator already tells every step; -q leaves only the errors (on stderr).
    std::ostringstream discarded;
    std::ostream& out = context.Quiet() ? discarded : context.Out();
    // Many addresses tell many steps: their lines are flushed together, every kFlushPeriodMs.
    const bool many = simulatorOptions.listenAddresses.size() > kFlushEachLineUpTo;
    QObject::connect(&simulator, &net::DeviceSimulator::Message, [&out, many](const QString& line) {
        out << line.toStdString() << '\n';
        if (!many) {
            out.flush();
        }
    });
    QTimer flush;
    QObject::connect(&flush, &QTimer::timeout, [&out] { out.flush(); });
    if (many) {
        flush.start(kFlushPeriodMs);
    }

    int exitCode = kExitOk;
    std::map<std::string, bool> done;  // --once with several addresses: address -> all went well
    QObject::connect(&simulator, &net::DeviceSimulator::UploadFinished, [&](bool ok) {
        const auto& result = simulator.LastResult();
        const bool perAddress = simulator.AddressCount() > 1;
        const bool kept = ok && KeepImage(options, result, perAddress, context);
        if (ok && preview) {
            preview->SetImage(result.image, result.directory);
            out << "web preview: " << preview->PageCount() << " files from " << result.address
                << std::endl;
        }
        if (!options.once) {
            return;
        }
        if (!perAddress) {
            if (!ok) {
                context.Err() << "upload failed: " << result.error << std::endl;
            }
            exitCode = kept ? kExitOk : kExitFailure;
            QCoreApplication::quit();
            return;
        }
        // Only each address's first upload counts; then every address reports its result.
        if (!done.emplace(result.address, kept).second) {
            return;
        }
        if (!ok) {
            context.Err() << result.address << ": upload failed: " << result.error << std::endl;
        }
        if (static_cast<int>(done.size()) < simulator.AddressCount()) {
            return;
        }
        int good = 0;
        out << "results:" << std::endl;
        for (const auto& address : simulatorOptions.listenAddresses) {
            const bool addressOk = done[address];
            good += addressOk ? 1 : 0;
            out << "  " << address << "  " << (addressOk ? "ok" : "failed") << std::endl;
        }
        out << good << " of " << done.size() << " uploads complete" << std::endl;
        exitCode = good == static_cast<int>(done.size()) ? kExitOk : kExitFailure;
        QCoreApplication::quit();
    });
    std::string error;
    if (!simulator.Start(error)) {
        context.Err() << error << std::endl;
        return kExitFailure;
    }
    if (preview) {
        out << "web preview on http://" << *httpListen << ":" << preview->Port() << "/"
            << std::endl;
    }
    QCoreApplication::exec();
    out.flush();
    return exitCode;
}

}  // namespace

void AddDeviceCommand(CLI::App& app, const CommandContext& context, int& exitCode) {
    auto options = std::make_shared<DeviceCommandOptions>();
    CLI::App* command = app.add_subcommand(
        "device",
        "Act as the controller: take uploads on 127.0.0.1:8001, check the frame stream, answer "
        "\"OK\", validate the image");
    command->add_option("--listen", options->listen,
                        "Address to listen on (repeatable; default 127.0.0.1); each address takes "
                        "its own upload, several at once");
    command->add_option("--listen-range", options->listenRanges,
                        "Listen on every address FIRST-LAST, e.g. 127.0.0.2-127.0.0.101 or "
                        "127.0.0.2-101 (repeatable)");
    command->add_option("--port", options->port, "TCP port (0 = any free port)")
        ->check(CLI::Range(0, 65535));
    command->add_flag("--once", options->once,
                      "Exit after one upload (with several addresses: once each address took one): "
                      "status 0 only when every image came complete and valid");
    command->add_option(
        "--save", options->save,
        "Write the received image to this file (with several addresses: FILE.ADDRESS)");
    command->add_option(
        "--extract", options->extract,
        "Write the received image's files below this folder (with several addresses: in "
        "FOLDER/ADDRESS)");
    command
        ->add_option("--no-answer-after", options->noAnswerAfter,
                     "Never answer frame K (0 = the magic, K = data frame of block K)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--delay-ms", options->delayMs, "Answer every frame this many ms late")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--answer", options->answer,
                        "Answer text instead of OK (C escapes such as \\r\\n allowed)");
    command->add_flag("--split-answer", options->splitAnswer,
                      "Send each answer in two pieces, 100 ms apart");
    command
        ->add_option("--close-after", options->closeAfter,
                     "Close the connection once frame K is answered")
        ->check(CLI::NonNegativeNumber);
    command
        ->add_option("--reset-after", options->resetAfter,
                     "Reset the connection (SO_LINGER 0) once frame K is answered")
        ->check(CLI::NonNegativeNumber);
    command
        ->add_option("--min-gap", options->minGapMs,
                     "Model firmware that needs time between frames: close on a frame that "
                     "arrives less than MS after the one before")
        ->check(CLI::Range(0, 3600000));
    command->add_flag("--one-frame-per-read", options->oneFramePerRead,
                      "Model firmware that takes each read as exactly one frame: close on a read "
                      "that holds two frames (merged by the sender or the network)");
    command
        ->add_option("--idle-timeout", options->idleTimeoutSeconds,
                     "Drop a client that sends nothing for this many seconds while no answer is "
                     "due (it holds its address's one upload slot)")
        ->check(CLI::Range(0.001, 86400.0))
        ->capture_default_str();
    command
        ->add_option("--http", options->httpPort,
                     "Serve the pages of the last image received over HTTP on this port (0 = any "
                     "free port), as the device would")
        ->check(CLI::Range(0, 65535));
    command->add_option("--http-listen", options->httpListen, "Address of the web preview")
        ->capture_default_str();
    command->callback([options, &context, &exitCode] { exitCode = RunDevice(*options, context); });
}

}  // namespace cli
