#include "cli/commands.h"

namespace cli {

void AddSettingsCommand(CLI::App&, int&) {}

}  // namespace cli
