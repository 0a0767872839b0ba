#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/output.h"
#include "platform/open_file_limit.h"
#include "platform/terminal.h"

namespace {

constexpr const char* kProgramName = "vellumix-cli";

// The first argument that is not an option: the command's name, or empty.
std::string CommandName(int argc, char** argv, int& position) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument.empty() || argument.front() != '-') {
            position = i;
            return std::string(argument);
        }
    }
    position = 0;
    return {};
}

std::vector<const CLI::App*> Commands(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App*) { return true; });
}

void PrintCommands(const CLI::App& app, std::ostream& out) {
    out << "commands:\n";
    for (const CLI::App* command : Commands(app)) {
        std::string name = command->get_name();
        name.resize(10, ' ');
        out << "  " << name << command->get_description() << "\n";
    }
}

int UnknownCommand(const CLI::App& app, const std::string& name) {
    std::cerr << kProgramName << ": unknown command '" << name << "'\n";
    PrintCommands(app, std::cerr);
    std::cerr << "Run '" << kProgramName << " help COMMAND' for a command's options.\n";
    return cli::kExitUsage;
}

// "help" and "help COMMAND".
int Help(const CLI::App& app, int argc, char** argv, int position) {
    if (position + 1 >= argc) {
        std::cout << app.help();
        return cli::kExitOk;
    }
    const std::string name = argv[position + 1];
    for (const CLI::App* command : Commands(app)) {
        if (command->get_name() == name) {
            std::cout << command->help(kProgramName);
            return cli::kExitOk;
        }
    }
    return UnknownCommand(app, name);
}

int Run(int argc, char** argv) {
    CLI::App app{"vellumix-cli: pack web folders into device images and upload them", kProgramName};
    // CLI11 takes "/name" for an option on Windows; here it is always a path, as elsewhere.
    app.allow_windows_style_options(false);
    app.set_version_flag("--version", std::string(kProgramName) + " " + VELLUMIX_VERSION);
    app.require_subcommand(1);
    // -q and -v may stand before or after the command's own arguments.
    app.fallthrough();
    bool quiet = false;
    bool verbose = false;
    auto* quietFlag = app.add_flag("-q,--quiet", quiet, "print errors only");
    app.add_flag("-v,--verbose", verbose, "print every file and every step")->excludes(quietFlag);

    int exitCode = cli::kExitOk;
    cli::AddPackCommands(app, exitCode);
    cli::AddSettingsCommand(app, exitCode);
    cli::AddDeviceCommand(app, exitCode);
    cli::AddLogCommand(app, exitCode);
    cli::AddUploadCommand(app, exitCode);
    cli::AddLedgerCommands(app, exitCode);
    app.add_subcommand("help", "describe the commands, or one command's options");

    int position = 0;
    const std::string command = CommandName(argc, argv, position);
    if (command == "help") {
        return Help(app, argc, argv, position);
    }
    if (!command.empty()) {
        bool known = false;
        for (const CLI::App* candidate : Commands(app)) {
            known = known || candidate->get_name() == command;
        }
        if (!known) {
            return UnknownCommand(app, command);
        }
    }

    // The verbosity is known only after parsing, but commands run inside parse: set it as soon
    // as the flags are parsed, before any command's callback.
    app.parse_complete_callback([&] {
        cli::SetVerbosity(quiet     ? cli::Verbosity::kQuiet
                          : verbose ? cli::Verbosity::kVerbose
                                    : cli::Verbosity::kNormal);
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? cli::kExitOk : cli::kExitUsage;
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // The same bytes on every system: no line-end translation of the output.
    platform::UseBinaryStandardStreams();
    // Desktops start programs with a low soft limit; a fleet upload needs a socket per device.
    platform::RaiseOpenFileLimit();
    // Last resort: whatever escapes a command is reported as a failure, never an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << kProgramName << ": internal error: " << error.what() << std::endl;
    } catch (...) {
        std::cerr << kProgramName << ": internal error" << std::endl;
    }
    return cli::kExitFailure;
}
