#pragma once

#include "sim/Descriptor.h"
#include "sim/Device.h"
#include "sim/Framing.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>

// Puts the simulated converter behind a pseudo-terminal: the system opens the slave path as it
// would open a serial port, the server answers on the master side.
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

class PtyServer {
public:
    using LogSink = std::function<void(const std::string&)>;

    // Opens the pty; throws std::system_error when the system has none to give.
    PtyServer(const DeviceOptions& device, const LineOptions& line, LogSink log = {});
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    const std::string& SlavePath() const { return Slave; }

    // Serves until Stop() or until the line vanishes by fault. Bytes written to the slave
    // before Run() starts wait in the pty and are answered.
    void Run();
    // From any thread or a signal handler.
    void Stop();
    bool LineVanished() const;

    // The device, locked against the serving thread for the call.
    template <class F>
    decltype(auto) WithDevice(F&& f) {
        std::lock_guard lock(Guard);
        return f(Model);
    }

private:
    struct Pending {
        std::vector<std::uint8_t> Bytes;
        Clock::time_point Due;
        bool CloseAfter = false;
    };
    void Receive(Clock::time_point now);
    void Drain(Clock::time_point now); // handles the frames that are complete
    bool SpeedMatches();
    bool SendDue(Clock::time_point now); // false once the line is gone
    void Send(const std::vector<std::uint8_t>& bytes);
    void Write(const std::string& text) const;

    Descriptor Master;
    Descriptor StopRead;
    Descriptor StopWrite;
    std::string Slave;
    LineOptions Line;
    LogSink Log;
    Clock::time_point Began;

    mutable std::mutex Guard; // Model, Assembler, Vanished
    Device Model;
    FrameAssembler Assembler;
    std::deque<Pending> Queue;
    Clock::time_point LastDue{};
    bool Vanished = false;
};

} // namespace sim
