#pragma once

// What the benchmarks that run vellumix-cli as a child share: a scratch folder with empty
// settings, starting the child, and a device on 127.0.0.1 that takes one upload.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench {

// Creates the scratch folder "vellumix-NAME-PID" in the temporary folder with a settings file
// "Vellumix.ini" that holds only "[DEFAULT]" (so no user's settings take part), and points
// VELLUMIX_LEDGER, unless set, at a ledger inside it (so no user's ledger grows); returns the
// folder. The caller removes it.
std::filesystem::path MakeWorkFolder(const std::string& name);

// Starts args[0] with `args`, its standard output (and standard error with `errorsToo`) going
// to the file `output` (created or emptied); its process id, or -1 when it cannot be started.
pid_t Spawn(std::vector<std::string> args, const std::filesystem::path& output, bool errorsToo);

// The frames of an upload, each as the device has taken it whole.
enum class Frame { kLogin, kLength, kData };

// A device on 127.0.0.1 (a free port) that answers "OK" at once.
class LoopbackDevice {
  public:
    LoopbackDevice() = default;
    ~LoopbackDevice();
    LoopbackDevice(const LoopbackDevice&) = delete;
    LoopbackDevice& operator=(const LoopbackDevice&) = delete;

    // False, with a note on standard error, when it cannot listen.
    bool Listen();
    int Port() const { return port_; }

    // Accepts one uploader and takes its frames: the 13-byte login frame, then per block a
    // 2-byte little-endian length frame and a data frame of that many bytes (1..1024); "OK"
    // answers the login and each data frame. `taken` hears of every frame as it is whole; false
    // from it ends the service there, unanswered. Returns the number of data frames taken.
    int Serve(const std::function<bool(Frame)>& taken);
    // Makes a Serve still waiting for its uploader return (one that never came).
    void Stop();

  private:
    int listener_ = -1;
    int port_ = 0;
};

}  // namespace bench
