#include "link/Modbus.h"

#include <algorithm>
#include <array>
#include <thread>

namespace {

constexpr std::uint16_t ModbusPolynomial = 0xA001; // 0x8005 reflected
constexpr std::uint8_t ReadHolding = 3;
constexpr std::uint8_t WriteSingle = 6;
constexpr std::uint8_t WriteMultiple = 16;
constexpr std::size_t FrameReserve = 256;
constexpr std::size_t WriteReply = 8;
constexpr std::size_t CrcSize = 2;
constexpr std::size_t ReadHeader = 3;    // slave, function, byte count
constexpr std::size_t ShortestFrame = 4; // slave, function, CRC
// An exception reply: slave, function + 0x80, code, CRC.
constexpr std::size_t ExceptionReply = 5;
constexpr std::uint8_t ExceptionFlag = 0x80;

struct TExceptionName {
    std::uint8_t Code;
    const char* Name;
};
constexpr TExceptionName ExceptionNames[] = {{1, "illegal function"},
                                             {2, "illegal data address"},
                                             {3, "illegal data value"},
                                             {4, "server device failure"},
                                             {5, "acknowledge"},
                                             {6, "server device busy"},
                                             {8, "memory parity error"},
                                             {10, "gateway path unavailable"},
                                             {11, "gateway target device failed to respond"}};

// Bytes on the line beyond the frame that the post-send pause also covers.
constexpr std::int32_t SendMargin = 4;

// Reflected CRC of one byte; the standard table pair holds its two halves.
constexpr std::uint16_t ModbusOfByte(std::uint8_t byte) {
    std::uint16_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) {
        crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ ModbusPolynomial : crc >> 1);
    }
    return crc;
}

// "Hi" table: the half that meets the next input byte (the CRC's low byte, sent first).
constexpr std::array<std::uint8_t, 256> ModbusTable(bool first) {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::uint16_t crc = ModbusOfByte(static_cast<std::uint8_t>(i));
        table[i] = static_cast<std::uint8_t>(first ? crc & 0xFF : crc >> 8);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> ModbusHi = ModbusTable(true);
constexpr std::array<std::uint8_t, 256> ModbusLo = ModbusTable(false);

void AppendBigEndian(CharVector& buffer, std::uint16_t value) {
    buffer.push_back(static_cast<char>(value >> 8));
    buffer.push_back(static_cast<char>(value & 0xFF));
}

std::uint8_t ByteAt(const CharVector& buffer, std::size_t index) {
    return static_cast<std::uint8_t>(buffer[index]);
}

} // namespace

int TModbus::RequestTries() const {
    return SingleExchange ? 1 : Tries;
}

std::chrono::milliseconds TModbus::RequestPause() const {
    return SingleExchange ? std::chrono::milliseconds{0} : RetryPause;
}

const char* ExceptionName(std::uint8_t code) {
    for (const TExceptionName& known : ExceptionNames) {
        if (known.Code == code) {
            return known.Name;
        }
    }
    return "unknown";
}

TModbus::TModbus() {
    FrameBuffer.reserve(FrameReserve);
}

std::uint16_t TModbus::CrcModbus(const char* bytes, std::size_t length) {
    std::uint8_t hi = 0xFF;
    std::uint8_t lo = 0xFF;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t index = hi ^ static_cast<std::uint8_t>(bytes[i]);
        hi = lo ^ ModbusHi[index];
        lo = ModbusLo[index];
    }
    return static_cast<std::uint16_t>(hi << 8 | lo);
}

bool TModbus::SendRequest(std::uint8_t slave, std::uint8_t function, std::int32_t reg,
                          const Unsigned16Vector& values) {
    const std::size_t count = std::min<std::size_t>(values.size(), MaxRegisters);
    if (!IsOpen()) {
        return false;
    }
    Exception = 0;
    PurgeInput();
    FrameBuffer.clear();
    FrameBuffer.push_back(static_cast<char>(slave));
    FrameBuffer.push_back(static_cast<char>(function));
    AppendBigEndian(FrameBuffer, static_cast<std::uint16_t>(reg));
    if (function == WriteMultiple) {
        AppendBigEndian(FrameBuffer, static_cast<std::uint16_t>(count));
        FrameBuffer.push_back(static_cast<char>((2 * count) & 0xFF));
    }
    for (std::size_t i = 0; i < count; ++i) {
        AppendBigEndian(FrameBuffer, values[i]);
    }
    AppendBigEndian(FrameBuffer, CrcModbus(FrameBuffer.data(), FrameBuffer.size()));
    const auto length = static_cast<std::int32_t>(FrameBuffer.size());
    Write(FrameBuffer.data(), length);
    if (!SingleExchange) {
        std::this_thread::sleep_for(std::chrono::milliseconds(TransmitTime(length + SendMargin)));
    }
    return true;
}

bool TModbus::ReceiveResponse(std::uint8_t slave, std::uint8_t function, std::int32_t /*reg*/,
                              std::int32_t quantity, Unsigned16Vector& values) {
    if (!IsOpen()) {
        return false;
    }
    FrameBuffer.assign(FrameReserve, 0);
    std::size_t expected = WriteReply;
    if (function == ReadHolding) {
        // A quantity no request can carry must not read past the buffer.
        const std::int64_t wanted = 2 * std::int64_t{quantity} + ReadHeader + CrcSize;
        expected = static_cast<std::size_t>(std::clamp<std::int64_t>(wanted, 0, FrameReserve));
    }
    // The first five bytes tell an exception, which is all the slave sends: it is taken at
    // once rather than waited on for the rest of a reply that never comes.
    const auto deadline = std::chrono::steady_clock::now() + GetTimeout();
    std::int32_t got =
        ReadUntil(FrameBuffer.data(), static_cast<std::int32_t>(ExceptionReply), deadline);
    if (got == static_cast<std::int32_t>(ExceptionReply) && ByteAt(FrameBuffer, 0) == slave &&
        ByteAt(FrameBuffer, 1) == (function | ExceptionFlag) &&
        CrcModbus(FrameBuffer.data(), ExceptionReply) == 0) {
        Exception = ByteAt(FrameBuffer, 2);
        return false;
    }
    if (got == static_cast<std::int32_t>(ExceptionReply) && expected > ExceptionReply) {
        got += ReadUntil(FrameBuffer.data() + got, static_cast<std::int32_t>(expected) - got,
                         deadline);
    }
    const auto length = static_cast<std::size_t>(got);
    if (CrcModbus(FrameBuffer.data(), length) != 0) {
        return false;
    }
    // Slave and function must be bytes of the frame, not its CRC.
    if (length < ShortestFrame) {
        return false;
    }
    if (ByteAt(FrameBuffer, 0) != slave || ByteAt(FrameBuffer, 1) != function) {
        return false;
    }
    if (function == ReadHolding) {
        if (length < ReadHeader + CrcSize) {
            return false;
        }
        // Values come only from data bytes that arrived: a byte count promising more than
        // the frame holds marks a broken response, and the try fails.
        const std::size_t dataBytes = length - ReadHeader - CrcSize;
        const std::size_t valueCount = (ByteAt(FrameBuffer, 2) + 1u) / 2;
        if (2 * valueCount > dataBytes) {
            return false;
        }
        for (std::size_t i = 0; i < valueCount; ++i) {
            const std::size_t at = ReadHeader + 2 * i;
            values.push_back(static_cast<std::uint16_t>(ByteAt(FrameBuffer, at) << 8 |
                                                        ByteAt(FrameBuffer, at + 1)));
        }
    }
    return true;
}

bool TModbus::ReadRegisters(std::uint8_t slave, std::int32_t reg, std::int32_t count,
                            Unsigned16Vector& values) {
    values.clear();
    std::int32_t remaining = count;
    std::int32_t start = reg;
    while (remaining > 0) {
        const std::int32_t quantity =
            std::min<std::int32_t>(remaining, static_cast<std::int32_t>(MaxRegisters));
        remaining -= quantity;
        const Unsigned16Vector request{static_cast<std::uint16_t>(quantity)};
        const bool done = Retry(RequestTries(), RequestPause(), [&] {
            return SendRequest(slave, ReadHolding, start, request) &&
                   ReceiveResponse(slave, ReadHolding, start, quantity, values);
        });
        if (!done) {
            return false;
        }
        start += quantity;
    }
    return true;
}

bool TModbus::WriteRegisters(std::uint8_t slave, std::int32_t reg, Unsigned16Vector& values) {
    const std::uint8_t function = values.size() == 1 ? WriteSingle : WriteMultiple;
    Unsigned16Vector scratch;
    bool written = true;
    while (written && !values.empty()) {
        const std::size_t chunk = std::min<std::size_t>(MaxRegisters, values.size());
        written = Retry(RequestTries(), RequestPause(), [&] {
            return SendRequest(slave, function, reg, values) &&
                   ReceiveResponse(slave, function, reg, 0, scratch);
        });
        if (written) {
            values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(chunk));
            reg += static_cast<std::int32_t>(chunk);
        }
    }
    values.clear();
    return written;
}
