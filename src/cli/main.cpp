#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include <QJsonObject>
#include <QString>

#include "cli/command_context.h"
#include "cli/commands.h"
#include "cli/fleet_printer.h"
#include "cli/output.h"
#include "platform/open_file_limit.h"
#include "platform/system_text.h"
#include "platform/terminal.h"
#include "vellumix_version.h"

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

int UnknownCommand(const CLI::App& app, const std::string& name, std::ostream& err) {
    err << kProgramName << ": unknown command '" << name << "'\n";
    PrintCommands(app, err);
    err << "Run '" << kProgramName << " help COMMAND' for a command's options.\n";
    return cli::kExitUsage;
}

// "help" and "help COMMAND".
int Help(const CLI::App& app, int argc, char** argv, int position,
         const cli::CommandContext& context) {
    if (position + 1 >= argc) {
        context.Out() << app.help();
        return cli::kExitOk;
    }
    const std::string name = argv[position + 1];
    for (const CLI::App* command : Commands(app)) {
        if (command->get_name() == name) {
            context.Out() << command->help(kProgramName);
            return cli::kExitOk;
        }
    }
    return UnknownCommand(app, name, context.Err());
}

// The sub-command `name` of `parent`, or null.
const CLI::App* SubcommandNamed(const CLI::App& parent, std::string_view name) {
    for (const CLI::App* command : Commands(parent)) {
        if (command->get_name() == name) {
            return command;
        }
    }
    return nullptr;
}

// Whether the command line gives --json to a command that has it ("settings show" included):
// the command's output is then JSON even when the command line is refused.
bool JsonAsked(const CLI::App& app, int argc, char** argv) {
    const CLI::App* command = &app;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--") {
            break;
        }
        json = json || argument == "--json";
        if (!argument.empty() && argument.front() != '-') {
            if (const CLI::App* sub = SubcommandNamed(*command, argument)) {
                command = sub;
            }
        }
    }
    return json && command != &app && command->get_option_no_throw("--json") != nullptr;
}

// A refused command line, as the JSON result of the command.
void PrintUsageResult(const std::string& command, const std::string& message, std::ostream& out) {
    cli::JsonLines json(out);
    if (command == "upload") {
        cli::WriteUploadRefused(json, 0, message, "");
        return;
    }
    json.Write("result", QJsonObject{{"ok", false}, {"message", QString::fromStdString(message)}});
}

int Run(int argc, char** argv, cli::CommandContext& context) {
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
    cli::AddPackCommands(app, context, exitCode);
    cli::AddSettingsCommand(app, context, exitCode);
    cli::AddDeviceCommand(app, context, exitCode);
    cli::AddLogCommand(app, context, exitCode);
    cli::AddUploadCommand(app, context, exitCode);
    cli::AddLedgerCommands(app, context, exitCode);
    app.add_subcommand("help", "describe the commands, or one command's options");

    int position = 0;
    const std::string command = CommandName(argc, argv, position);
    if (command == "help") {
        return Help(app, argc, argv, position, context);
    }
    if (!command.empty()) {
        bool known = false;
        for (const CLI::App* candidate : Commands(app)) {
            known = known || candidate->get_name() == command;
        }
        if (!known) {
            return UnknownCommand(app, command, context.Err());
        }
    }

    // The verbosity is known only after parsing, but commands run inside parse: set it as soon
    // as the flags are parsed, before any command's callback.
    app.parse_complete_callback([&] {
        context.SetVerbosity(quiet     ? cli::Verbosity::kQuiet
                             : verbose ? cli::Verbosity::kVerbose
                                       : cli::Verbosity::kNormal);
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error, context.Out(), context.Err());
        if (code == 0) {
            return cli::kExitOk;
        }
        if (JsonAsked(app, argc, argv)) {
            PrintUsageResult(command, error.what(), context.Out());
        }
        return cli::kExitUsage;
    }
    return exitCode;
}

// Output that was lost fails the command, however well the rest went: said once, at the end.
// A reader that has gone (a closed pipe) is not worth a message; the status is then the one a
// shell gives a program ended by SIGPIPE (which a process that ignores SIGPIPE does not get).
int CheckOutput(cli::StandardOutput& output, int exitCode, std::ostream& err) {
    const int error = output.Finish();
    if (error == 0) {
        return exitCode;
    }
    if (error != EPIPE) {
        err << kProgramName << ": cannot write to standard output: " << std::strerror(error)
            << std::endl;
    }
    if (exitCode != cli::kExitOk) {
        return exitCode;
    }
    return error == EPIPE ? cli::kExitBrokenPipe : cli::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // The same bytes on every system: no line-end translation of the output.
    platform::UseBinaryStandardStreams();
    platform::UseInternalTextOnTerminal();
    // Desktops start programs with a low soft limit; a fleet upload needs a socket per device.
    platform::RaiseOpenFileLimit();
    cli::StandardOutput output;
    cli::CommandContext context(std::cout, std::cerr);
    int exitCode = cli::kExitFailure;
    // Paths arrive in the internal form on every system (on Windows not as argv's ANSI).
    std::vector<std::string> arguments = platform::CommandLineArguments(argc, argv);
    std::vector<char*> pointers;
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    // Last resort: whatever escapes a command is reported as a failure, never an abort.
    try {
        exitCode = Run(static_cast<int>(arguments.size()), pointers.data(), context);
    } catch (const std::exception& error) {
        context.Err() << kProgramName << ": internal error: " << error.what() << std::endl;
    } catch (...) {
        context.Err() << kProgramName << ": internal error" << std::endl;
    }
    return CheckOutput(output, exitCode, context.Err());
}
