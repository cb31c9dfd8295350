#pragma once

#include "sim/Descriptor.h"
#include "sim/Device.h"
#include "sim/Framing.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Puts the simulated converter behind a pseudo-terminal: the system opens the slave path as it
// would open a serial port, the server answers on the master side. The line may be an RS-485
// bus with several devices on it: each hears every byte the master sends and cuts its own
// frames, and replies that would overlap on the wire collide.
namespace sim {

struct LineOptions {
    // Replies leave when a real line would have delivered the request and then the reply, at
    // 10 bit times per byte, plus the device's working time.
    bool WireTime = false;
    // Traffic sent at another speed than the device listens at is lost, as on a real line. The
    // speed the system set on the slave side shows on the master; a pty carries no parity or
    // data bits, so those cannot be checked.
    bool CheckSpeed = true;
    bool operator==(const LineOptions&) const = default;
};

// The speeds a device can be given.
bool IsSupportedBaud(int baud);

// What the master receives when several replies are on the wire at once: one stream as long as
// the longest, in which no prefix carries a valid checksum of either protocol, even when the
// replies are equal.
std::vector<std::uint8_t> Collide(const std::vector<std::vector<std::uint8_t>>& replies);

class PtyServer {
public:
    using LogSink = std::function<void(const std::string&)>;

    // Opens the pty; throws std::system_error when the system has none to give.
    PtyServer(const DeviceOptions& device, const LineOptions& line, LogSink log = {});
    // A bus of one or more devices (std::invalid_argument when none). The line has one speed,
    // the first device's Baud: every device starts at it, whatever its own Baud says.
    PtyServer(std::vector<DeviceOptions> devices, const LineOptions& line, LogSink log = {});
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    const std::string& SlavePath() const { return Slave; }

    // Serves until Stop() or until the line vanishes by fault. Bytes written to the slave
    // before Run() starts wait in the pty and are answered.
    void Run();
    // From any thread or a signal handler.
    void Stop();
    bool LineVanished() const;

    std::size_t DeviceCount() const { return Nodes.size(); }

    // A device (the first by default), locked against the serving thread for the call;
    // std::out_of_range for an index beyond DeviceCount().
    template <class F>
    decltype(auto) WithDevice(std::size_t index, F&& f) {
        std::lock_guard lock(Guard);
        return f(Nodes.at(index).Model);
    }
    template <class F>
    decltype(auto) WithDevice(F&& f) {
        return WithDevice(0, std::forward<F>(f));
    }

private:
    struct Node {
        explicit Node(const DeviceOptions& options);
        Device Model;
        FrameAssembler Assembler;
    };
    // A reply on its way, or several that collide on the wire.
    struct Pending {
        std::vector<std::uint8_t> Bytes{};
        Clock::time_point Due{};
        bool CloseAfter = false;
        std::vector<std::vector<std::uint8_t>> Parts{}; // each device's own reply
        std::vector<std::size_t> Senders{};             // indices of the devices
        Clock::time_point WireStart{};                  // when its first byte is on the line
        Clock::time_point RequestStart{};               // the frame it answers
        std::vector<std::uint8_t> Request{};
    };
    void Receive(Clock::time_point now);
    void Drain(Clock::time_point now); // handles the frames that are complete
    void Answer(std::size_t sender, const Frame& frame, const Reply& reply, int baud,
                Clock::time_point now);
    bool Overlap(const Pending& pending, const Pending& reply) const;
    std::optional<int> LineBaud() const;         // none when the pty cannot tell
    std::string Prefix(std::size_t index) const; // of a device's log lines
    bool SendDue(Clock::time_point now);         // false once the line is gone
    void Send(const std::vector<std::uint8_t>& bytes);
    void Write(const std::string& text) const;

    Descriptor Master;
    Descriptor StopRead;
    Descriptor StopWrite;
    std::string Slave;
    LineOptions Line;
    LogSink Log;
    Clock::time_point Began;

    mutable std::mutex Guard;       // Nodes, Queue, Vanished
    std::vector<Node> Nodes;        // built once: the logs hold their indices
    std::vector<std::string> Names; // "device 1 (address 7)"; empty for a line of one
    std::deque<Pending> Queue;
    Clock::time_point LastDue{};
    bool Vanished = false;
};

} // namespace sim
