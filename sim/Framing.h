#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

// Cuts the byte stream that arrives at the device into request frames. Neither protocol carries
// a length field the device could trust, so the device works as a serial slave does: the
// function or command code tells the length where it can, and otherwise the frame ends with
// the line's silence of 3.5 characters. Only frames with a correct checksum come out.
namespace sim {

using Clock = std::chrono::steady_clock;

enum class Protocol { ModbusRtu, Loader };

struct Frame {
    std::vector<std::uint8_t> Bytes;
    Clock::time_point Start; // arrival of its first byte
};

// Silence that ends a frame: 3.5 characters of 10 bits, at least 1.75 ms as Modbus fixes it
// for fast lines.
std::chrono::microseconds SilenceAt(int baud);
// Wire time of a number of bytes at 10 bit times each.
std::chrono::nanoseconds WireTime(std::size_t bytes, int baud);

bool HasValidCrc(Protocol protocol, std::span<const std::uint8_t> frame);

class FrameAssembler {
public:
    // A frame that stops arriving halfway is dropped after this long.
    static constexpr std::chrono::milliseconds StaleFrame{100};
    static constexpr std::size_t ModbusMaxFrame = 256;
    static constexpr std::size_t LoaderMaxFrame = 72;

    FrameAssembler(Protocol protocol, int baud);

    // Starts over; bytes held are dropped.
    void Reset(Protocol protocol, int baud);
    // The device changed between application and boot loader: bytes held are read again as
    // the new program's.
    void Switch(Protocol protocol, int baud);
    // New bytes from the line.
    void Push(std::span<const std::uint8_t> bytes, Clock::time_point now);
    // The next complete frame, if the bytes held (and the line's silence up to now) make one.
    std::optional<Frame> Next(Clock::time_point now);
    // When Next may have something new without new bytes, if ever.
    std::optional<Clock::time_point> Deadline() const;

    std::uint64_t RejectedFrames() const { return Rejected; } // checksum wrong or incomplete
    // Sees the bytes of every rejected frame (for the frame log).
    void OnReject(std::function<void(std::span<const std::uint8_t>)> watcher) {
        Watcher = std::move(watcher);
    }

private:
    enum class Kind { NeedMore, Known, UntilSilence, NoStart };
    struct Guess {
        Kind kind;
        std::size_t length; // Known: the length; UntilSilence: the most it may be
    };
    Guess GuessLength() const;
    std::optional<Frame> Take(std::size_t length, bool quiet);
    void Reject(bool quiet);

    Protocol Proto;
    std::chrono::microseconds Silence;
    std::vector<std::uint8_t> Buffer;
    Clock::time_point FrameStart{};
    Clock::time_point LastByte{};
    bool Discarding = false; // a bad frame is being skipped until the line falls silent
    std::uint64_t Rejected = 0;
    std::function<void(std::span<const std::uint8_t>)> Watcher;
};

} // namespace sim
