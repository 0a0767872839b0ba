#include "cli/command_context.h"

namespace cli {

CommandContext::CommandContext(std::ostream& out, std::ostream& err, Verbosity verbosity)
    : out_(&out), err_(&err), verbosity_(verbosity) {}

CommandContext CommandContext::WithOut(std::ostream& stream) const {
    return CommandContext(stream, *err_, verbosity_);
}

CommandContext CommandContext::WithErr(std::ostream& stream) const {
    return CommandContext(*out_, stream, verbosity_);
}

}  // namespace cli
