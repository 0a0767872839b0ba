#include <iostream>

#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
    CLI::App app{"vellumix-cli: pack web folders into device images and upload them"};
    app.set_version_flag("--version", std::string("vellumix-cli ") + VELLUMIX_VERSION);
    app.require_subcommand(1);

    int exitCode = cli::kExitOk;
    cli::AddPackCommands(app, exitCode);
    cli::AddSettingsCommand(app, exitCode);
    cli::AddDeviceCommand(app, exitCode);
    cli::AddLogCommand(app, exitCode);
    cli::AddUploadCommand(app, exitCode);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? cli::kExitOk : cli::kExitUsage;
    }
    return exitCode;
}
