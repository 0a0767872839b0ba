#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "cli/commands.h"
#include "net/device_simulator.h"
#include "packer/image_reader.h"

namespace cli {

namespace {

struct DeviceCommandOptions {
    std::vector<std::string> listen;
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
};

bool SaveImage(const std::vector<std::uint8_t>& image, const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out.flush());
}

// Keeps a good image as asked; false (with the reason on stderr) when that fails.
bool KeepImage(const DeviceCommandOptions& options, const net::DeviceUploadResult& result) {
    if (!options.save.empty()) {
        if (!SaveImage(result.image, options.save)) {
            std::cerr << "cannot write " << options.save << std::endl;
            return false;
        }
        std::cout << "saved " << options.save << std::endl;
    }
    if (!options.extract.empty()) {
        std::string error;
        if (!packer::ExtractImage(result.image.data(), result.image.size(), result.directory,
                                  options.extract, error)) {
            std::cerr << "cannot extract into " << options.extract << ": " << error << std::endl;
            return false;
        }
        std::cout << "extracted into " << options.extract << std::endl;
    }
    return true;
}

int RunDevice(const DeviceCommandOptions& options) {
    const auto answer = net::DecodeCEscapes(options.answer);
    if (!answer) {
        std::cerr << "bad escape in --answer " << options.answer << std::endl;
        return kExitUsage;
    }
    int argc = 1;
    char name[] = "vellumix-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    net::DeviceSimulatorOptions simulatorOptions;
    if (!options.listen.empty()) {
        simulatorOptions.listenAddresses = options.listen;
    }
    simulatorOptions.port = options.port;
    simulatorOptions.noAnswerAfter = options.noAnswerAfter;
    simulatorOptions.delayMs = options.delayMs;
    simulatorOptions.answer = *answer;
    simulatorOptions.splitAnswer = options.splitAnswer;
    simulatorOptions.closeAfter = options.closeAfter;
    simulatorOptions.resetAfter = options.resetAfter;

    net::DeviceSimulator simulator(simulatorOptions);
    QObject::connect(&simulator, &net::DeviceSimulator::Message,
                     [](const QString& line) { std::cout << line.toStdString() << std::endl; });
    int exitCode = kExitOk;
    QObject::connect(&simulator, &net::DeviceSimulator::UploadFinished, [&](bool ok) {
        const auto& result = simulator.LastResult();
        const bool kept = ok && KeepImage(options, result);
        if (!options.once) {
            return;
        }
        if (!ok) {
            std::cerr << "upload failed: " << result.error << std::endl;
        }
        exitCode = kept ? kExitOk : kExitFailure;
        QCoreApplication::quit();
    });
    std::string error;
    if (!simulator.Start(error)) {
        std::cerr << error << std::endl;
        return kExitFailure;
    }
    QCoreApplication::exec();
    return exitCode;
}

}  // namespace

void AddDeviceCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<DeviceCommandOptions>();
    CLI::App* command = app.add_subcommand(
        "device",
        "Act as the controller: take uploads on 127.0.0.1:8001, check the frame stream, answer "
        "\"OK\", validate the image");
    command->add_option("--listen", options->listen,
                        "Address to listen on (repeatable; default 127.0.0.1)");
    command->add_option("--port", options->port, "TCP port (0 = any free port)")
        ->check(CLI::Range(0, 65535));
    command->add_flag("--once", options->once,
                      "Exit after one upload: status 0 only when a complete, valid image came");
    command->add_option("--save", options->save, "Write the received image to this file");
    command->add_option("--extract", options->extract,
                        "Write the received image's files below this folder");
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
    command->callback([options, &exitCode] { exitCode = RunDevice(*options); });
}

}  // namespace cli
