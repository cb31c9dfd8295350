#include "sim/Framing.h"

#include "sim/Crc.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::chrono::microseconds FastLineSilence{1750};
constexpr int FastLineBaud = 19200;
constexpr int BitsPerChar = 10;

std::uint16_t LittleEndian(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

} // namespace

std::chrono::microseconds SilenceAt(int baud) {
    if (baud > FastLineBaud) {
        return FastLineSilence;
    }
    return std::chrono::microseconds(35LL * 1000000 / baud + 1);
}

std::chrono::nanoseconds WireTime(std::size_t bytes, int baud) {
    return std::chrono::nanoseconds(static_cast<long long>(bytes) * BitsPerChar * 1000000000LL /
                                    baud);
}

bool HasValidCrc(Protocol protocol, std::span<const std::uint8_t> frame) {
    if (protocol == Protocol::ModbusRtu) {
        if (frame.size() < 4) {
            return false;
        }
        const auto body = frame.first(frame.size() - 2);
        return CrcModbus(body) == LittleEndian(frame, frame.size() - 2);
    }
    if (frame.size() < 8) {
        return false;
    }
    const auto body = frame.subspan(2, frame.size() - 4);
    return CrcCcitt(body) == LittleEndian(frame, frame.size() - 2);
}

FrameAssembler::FrameAssembler(Protocol protocol, int baud) {
    Reset(protocol, baud);
}

void FrameAssembler::Reset(Protocol protocol, int baud) {
    Switch(protocol, baud);
    Buffer.clear();
}

void FrameAssembler::Switch(Protocol protocol, int baud) {
    Proto = protocol;
    Silence = SilenceAt(baud);
    Discarding = false;
}

FrameAssembler::Guess FrameAssembler::GuessLength() const {
    const std::size_t size = Buffer.size();
    if (Proto == Protocol::ModbusRtu) {
        if (size < 2) {
            return {Kind::NeedMore, 0};
        }
        switch (Buffer[1]) {
        case 3:
        case 6:
            return {Kind::Known, 8};
        case 16:
            if (size < 7) {
                return {Kind::NeedMore, 0};
            }
            return {Kind::Known, std::size_t{9} + Buffer[6]};
        default:
            return {Kind::UntilSilence, ModbusMaxFrame};
        }
    }
    // "DL", then the command code: codes 0, 1 and 3 have no data; a write carries up to 32
    // words, and only the checksum at the end of the silence tells how many.
    if (Buffer[0] != 'D' || (size >= 2 && Buffer[1] != 'L')) {
        return {Kind::NoStart, 0};
    }
    if (size < 4) {
        return {Kind::NeedMore, 0};
    }
    const std::uint16_t code = LittleEndian(Buffer, 2);
    if (code == 0 || code == 1 || code == 3) {
        return {Kind::Known, 8};
    }
    return {Kind::UntilSilence, LoaderMaxFrame};
}

std::optional<Frame> FrameAssembler::Take(std::size_t length, bool quiet) {
    const std::span<const std::uint8_t> bytes(Buffer.data(), length);
    if (!HasValidCrc(Proto, bytes)) {
        Reject(quiet);
        return std::nullopt;
    }
    Frame frame{std::vector<std::uint8_t>(bytes.begin(), bytes.end()), FrameStart};
    Buffer.erase(Buffer.begin(), Buffer.begin() + static_cast<std::ptrdiff_t>(length));
    FrameStart = LastByte;
    return frame;
}

// A bad frame is dropped with everything up to the line's next silence.
void FrameAssembler::Reject(bool quiet) {
    ++Rejected;
    if (Watcher) {
        Watcher(Buffer);
    }
    Buffer.clear();
    Discarding = !quiet;
}

void FrameAssembler::Push(std::span<const std::uint8_t> bytes, Clock::time_point now) {
    const bool silentBefore = now - LastByte >= Silence;
    LastByte = now;
    if (Discarding && !silentBefore) {
        return;
    }
    Discarding = false;
    if (Buffer.empty()) {
        FrameStart = now;
    }
    Buffer.insert(Buffer.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> FrameAssembler::Next(Clock::time_point now) {
    const bool quiet = now - LastByte >= Silence;
    if (quiet) {
        Discarding = false;
    }
    while (!Buffer.empty()) {
        const Guess guess = GuessLength();
        if (guess.kind == Kind::NoStart) {
            Buffer.erase(Buffer.begin());
            continue;
        }
        if (guess.kind != Kind::NeedMore && Buffer.size() >= guess.length) {
            return Take(guess.length, quiet);
        }
        if (guess.kind == Kind::UntilSilence && quiet) {
            return Take(Buffer.size(), quiet);
        }
        if (now - LastByte >= StaleFrame) {
            Reject(true);
        }
        break;
    }
    return std::nullopt;
}

std::optional<Clock::time_point> FrameAssembler::Deadline() const {
    if (Discarding && Buffer.empty()) {
        return LastByte + Silence;
    }
    if (Buffer.empty()) {
        return std::nullopt;
    }
    if (GuessLength().kind == Kind::UntilSilence) {
        return LastByte + Silence;
    }
    return LastByte + StaleFrame;
}

} // namespace sim
