#include "ui/desktop_options.h"

#include <string_view>

#include "vellumix_version.h"

namespace ui {

namespace {

constexpr std::string_view kHelpText =
    "Usage: vellumix [OPTION]...\n"
    "Replace the built-in web pages of a programmable controller.\n"
    "\n"
    "Choose the folder of web files with File Path, type the controller's IPv4 address and\n"
    "press Start: every file below the folder is packed into one image and sent to the\n"
    "controller on TCP port 8001, which answers OK after each frame.\n"
    "\n"
    "Options:\n"
    "  -h, --help     display this help and exit\n"
    "      --version  output version information and exit\n"
    "\n"
    "Qt's own options, such as -platform NAME or -style NAME, are passed on to Qt.\n"
    "\n"
    "Settings are kept in Vellumix.ini beside the program when its folder is writable,\n"
    "otherwise in $XDG_CONFIG_HOME/vellumix/Vellumix.ini (~/.config/vellumix/ when\n"
    "XDG_CONFIG_HOME is not set). The same settings are read and written by vellumix-cli.\n";

constexpr std::string_view kProgramName = "vellumix";
constexpr std::string_view kEndOfOptions = "--";
constexpr int kExitOk = 0;

}  // namespace

std::optional<int> AnswerInformationOption(std::span<char* const> argv, std::ostream& out) {
    for (const char* argument : argv.empty() ? argv : argv.subspan(1)) {
        if (argument == nullptr) {
            break;
        }
        const std::string_view text(argument);
        if (text == kEndOfOptions) {
            break;
        }
        if (text == "-h" || text == "--help") {
            out << kHelpText;
            return kExitOk;
        }
        if (text == "--version") {
            out << kProgramName << ' ' << VELLUMIX_VERSION << '\n';
            return kExitOk;
        }
    }
    return std::nullopt;
}

}  // namespace ui
