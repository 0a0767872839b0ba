#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QByteArray>
#include <QObject>
#include <QString>

#include "packer/image_reader.h"
#include "transfer/device_stream_parser.h"

namespace net {

inline constexpr int kDefaultDevicePort = 8001;
inline constexpr const char* kDefaultDeviceAddress = "127.0.0.1";
// A split answer is written as two pieces this far apart, so the client reads two chunks.
inline constexpr int kSplitAnswerGapMs = 100;
// How often the modelled one-frame-per-read firmware looks at its receive buffer: well below
// the contract's 150 ms between frames, well above the time between two back-to-back sends.
inline constexpr int kFirmwarePollMs = 50;
// A connection that sends nothing for this long while the device waits for it is dropped, so
// a silent client cannot hold the one upload slot of its address for long.
inline constexpr int kDeviceIdleTimeoutMs = 10000;
// "Frame K" of the fault options: 0 is the magic frame, K >= 1 the data frame of block K.
inline constexpr int kNoFrame = -1;
inline constexpr int kEveryAddress = -1;

struct DeviceSimulatorOptions {
    std::vector<std::string> listenAddresses{kDefaultDeviceAddress};
    int port = kDefaultDevicePort;  // 0 = any free port (see DeviceSimulator::Port)
    int noAnswerAfter = kNoFrame;   // never answer frame K
    int delayMs = 0;                // answer each frame this late
    QByteArray answer = "OK";       // the answer text
    bool splitAnswer = false;       // answer in two pieces kSplitAnswerGapMs apart
    int closeAfter = kNoFrame;      // close the connection once frame K is answered
    int resetAfter = kNoFrame;      // reset it (SO_LINGER 0) once frame K is answered
    int idleTimeoutMs = kDeviceIdleTimeoutMs;
    // Firmware models: refuse (close on) a frame that begins less than minGapMs after the frame
    // before it began; refuse a read that holds the start of a frame after bytes of another.
    int minGapMs = 0;
    bool oneFramePerRead = false;
    std::size_t maxImageBytes = transfer::kDefaultMaxImageBytes;
    // How many addresses (the first ones) keep listening while they take an upload; -1: all.
    // With too few descriptors for a listener beside each connection, the others stop listening
    // meanwhile (another client is then refused by the system).
    int keptListeners = kEveryAddress;
};

struct DeviceUploadResult {
    std::string address;               // the listening address that took the upload
    bool ok = false;                   // a complete stream carrying a valid image
    std::string error;                 // why not, when !ok
    std::vector<std::uint8_t> image;   // the bytes reassembled (also when !ok)
    packer::ImageDirectory directory;  // valid when ok
    int blocks = 0;
};

// Where the frames of an upload stream begin, as firmware that times them or reads them one at a
// time sees them: the magic, then per block a length frame of two bytes and a data frame of as
// many bytes as it gives. Follows any stream; judging it is the parser's work.
class FrameBounds {
  public:
    // Takes bytes of the current frame, at most `length`; returns how many.
    std::size_t Take(const std::uint8_t* data, std::size_t length);
    bool AtFrameStart() const { return taken_ == 0; }
    // The current frame: "the magic frame", "the length frame of block 2", "the data frame of
    // block 2".
    std::string Name() const;

  private:
    enum class Kind { kMagic, kLength, kData };
    Kind kind_ = Kind::kMagic;
    std::size_t size_ = transfer::kMagicLength;
    std::size_t taken_ = 0;
    int block_ = 0;
    std::size_t dataLength_ = 0;
};

// Most addresses one range may name (a fleet benchmark's worth); a typo should not open a
// whole /8 of sockets.
inline constexpr int kMaxRangeAddresses = 16384;

// "A-B": the IPv4 addresses from A to B inclusive, in order, without leading zeros. B is a
// whole dotted address or just the last number (127.0.0.2-101 = 127.0.0.2-127.0.0.101); each
// reads as ReadListenAddress reads an IPv4 address. nullopt with `error` set when
// either end is not an IPv4 address, B comes before A, or the range holds more than
// kMaxRangeAddresses.
std::optional<std::vector<std::string>> ExpandAddressRange(const std::string& text,
                                                           std::string& error);

// A listening address: an IPv6 address as Qt reads it, else four decimal fields of 0 to 255
// (leading zeros read as decimal), given back without leading zeros. nullopt with `error` set
// for anything else, also for what Qt alone would take (127.1, 0x7f.0.0.1).
std::optional<std::string> ReadListenAddress(const std::string& text, std::string& error);

// Decodes C escapes (\r \n \t \0 \\ \" \' \xHH) in an answer text; nothing on a bad escape.
std::optional<QByteArray> DecodeCEscapes(const std::string& text);

// The controller's side of an upload, for trying the tool without a device: accepts one client
// at a time on each of its listening addresses (so several addresses stand for several devices
// taking uploads at once), checks the stream strictly, answers each frame (or misbehaves as the
// options ask), reassembles and validates the image. With more than one address, every line but
// "listening on ..." starts with "[ADDRESS] ".
// The sockets are served by one thread of its own on an Asio loop (epoll on Linux, completion
// ports on Windows), which wakes only for the sockets that have something to do, so one process
// serves thousands of addresses. Lines and results reach the thread this object lives on (its Qt
// event loop) in the order they happened, in batches; the "listening on" lines already from
// Start.
class DeviceSimulator : public QObject {
    Q_OBJECT

  public:
    explicit DeviceSimulator(DeviceSimulatorOptions options, QObject* parent = nullptr);
    ~DeviceSimulator() override;

    // Listens on every address. False with `error` set when an address is bad or taken.
    bool Start(std::string& error);
    // The port listened on (the chosen one when the options asked for 0).
    int Port() const { return port_; }
    // True while any address has an upload going on.
    bool UploadInProgress() const;
    // The result of the upload that finished last (on any address), as told so far.
    const DeviceUploadResult& LastResult() const { return lastResult_; }
    int AddressCount() const { return addressCount_; }

  signals:
    // One progress line ("connection from ...", "magic ok", "block K: N bytes", ...).
    void Message(const QString& line);
    // A connection ended; LastResult() holds what it delivered (and on which address).
    void UploadFinished(bool ok);

  private:
    class Engine;  // the sockets and the thread serving them

    // On this object's thread: emits what the engine told since the last time.
    void Deliver();

    DeviceSimulatorOptions options_;
    std::unique_ptr<Engine> engine_;
    int addressCount_ = 0;
    int port_ = 0;
    DeviceUploadResult lastResult_;
};

}  // namespace net
