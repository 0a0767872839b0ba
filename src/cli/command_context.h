#pragma once

#include <ostream>

namespace cli {

// How much a command prints, from the global -q/--quiet and -v/--verbose options: quiet prints
// errors only (and the JSON of --json, which a caller asked for), verbose every file and step.
enum class Verbosity { kQuiet, kNormal, kVerbose };

// What every command writes through: its standard output and error streams and how much it
// prints. main makes one for the run and sets the verbosity once the options are parsed, before
// any command runs; commands hand it (or a copy with one stream replaced) to what they call.
class CommandContext {
  public:
    explicit CommandContext(std::ostream& out, std::ostream& err,
                            Verbosity verbosity = Verbosity::kNormal);

    std::ostream& Out() const { return *out_; }
    std::ostream& Err() const { return *err_; }

    Verbosity GetVerbosity() const { return verbosity_; }
    void SetVerbosity(Verbosity verbosity) { verbosity_ = verbosity; }
    bool Quiet() const { return verbosity_ == Verbosity::kQuiet; }
    bool Verbose() const { return verbosity_ == Verbosity::kVerbose; }

    // The same context writing its output (or its errors) to `stream` instead.
    CommandContext WithOut(std::ostream& stream) const;
    CommandContext WithErr(std::ostream& stream) const;

  private:
    std::ostream* out_ = nullptr;
    std::ostream* err_ = nullptr;
    Verbosity verbosity_ = Verbosity::kNormal;
};

}  // namespace cli
