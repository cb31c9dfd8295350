#include "link/Communication.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint16_t CcittPolynomial = 0x1021;
constexpr char HeaderD = 0x44;
constexpr char HeaderL = 0x4C;
constexpr std::size_t HeaderSize = 6;   // "DL", code, address
constexpr std::size_t ShortReply = 8;   // no data words
constexpr std::size_t ReadReply = 72;   // 32 data words
constexpr std::uint8_t ReadCommand = 3; // the one command whose reply carries words
constexpr std::size_t ReplyBufferSize = 256;

// CRC of one byte (as the high byte of the register, the rest zero), split into its halves.
constexpr std::uint16_t CcittOfByte(std::uint8_t byte) {
    std::uint16_t crc = static_cast<std::uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
        crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ CcittPolynomial : crc << 1);
    }
    return crc;
}

constexpr std::array<std::uint8_t, 256> CcittTable(bool high) {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::uint16_t crc = CcittOfByte(static_cast<std::uint8_t>(i));
        table[i] = static_cast<std::uint8_t>(high ? crc >> 8 : crc & 0xFF);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> CcittHigh = CcittTable(true);
constexpr std::array<std::uint8_t, 256> CcittLow = CcittTable(false);

std::uint8_t ByteAt(const CharVector& buffer, std::size_t index) {
    return static_cast<std::uint8_t>(buffer[index]);
}

std::uint16_t LittleEndianAt(const CharVector& buffer, std::size_t index) {
    return static_cast<std::uint16_t>(ByteAt(buffer, index) | ByteAt(buffer, index + 1) << 8);
}

void AppendLittleEndian(CharVector& buffer, std::uint16_t value) {
    buffer.push_back(static_cast<char>(value & 0xFF));
    buffer.push_back(static_cast<char>(value >> 8));
}

} // namespace

TCommunication::TCommunication() = default;

std::uint16_t TCommunication::CrcCcitt(const char* bytes, std::size_t length) {
    std::uint8_t high = 0xFF;
    std::uint8_t low = 0xFF;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t index = static_cast<std::uint8_t>(bytes[i]) ^ high;
        high = low ^ CcittHigh[index];
        low = CcittLow[index];
    }
    return static_cast<std::uint16_t>(high << 8 | low);
}

bool TCommunication::SendFrame(std::uint8_t code, std::uint32_t address,
                               const Unsigned16Vector& words) {
    const std::size_t count = std::min<std::size_t>(words.size(), MaxWords);
    if (!IsOpen()) {
        return false;
    }
    FrameBuffer.clear();
    FrameBuffer.push_back(HeaderD);
    FrameBuffer.push_back(HeaderL);
    AppendLittleEndian(FrameBuffer, code);
    AppendLittleEndian(FrameBuffer, static_cast<std::uint16_t>(address));
    for (std::size_t i = 0; i < count; ++i) {
        AppendLittleEndian(FrameBuffer, words[i]);
    }
    AppendLittleEndian(FrameBuffer, CrcCcitt(FrameBuffer.data() + 2, FrameBuffer.size() - 2));
    PurgeInput();
    Write(FrameBuffer.data(), static_cast<std::int32_t>(FrameBuffer.size()));
    return true;
}

bool TCommunication::ReceiveFrame(std::uint8_t code, std::uint32_t address,
                                  Unsigned16Vector& words) {
    const std::size_t expected = code == ReadCommand ? ReadReply : ShortReply;
    if (!IsOpen()) {
        return false;
    }
    FrameBuffer.assign(ReplyBufferSize, 0);
    const std::int32_t got = Read(FrameBuffer.data(), static_cast<std::int32_t>(expected));
    if (got < static_cast<std::int32_t>(expected)) {
        return false;
    }
    if (CrcCcitt(FrameBuffer.data() + 2, expected - 4) !=
        LittleEndianAt(FrameBuffer, expected - 2)) {
        return false;
    }
    if (FrameBuffer[0] != HeaderD || FrameBuffer[1] != HeaderL) {
        return false;
    }
    if (LittleEndianAt(FrameBuffer, 2) != code || LittleEndianAt(FrameBuffer, 4) != address) {
        return false;
    }
    if (code == ReadCommand) {
        for (std::size_t offset = HeaderSize; offset < expected - 2; offset += 2) {
            words.push_back(LittleEndianAt(FrameBuffer, offset));
        }
    }
    return true;
}

bool TCommunication::Query(std::uint8_t code, std::uint32_t address, Unsigned16Vector& words) {
    words.clear();
    return Retry(Tries, RetryPause, [&] {
        return SendFrame(code, address, {}) && ReceiveFrame(code, address, words);
    });
}

bool TCommunication::SendCommand(std::uint8_t code, std::uint32_t address, Unsigned16Vector words) {
    Unsigned16Vector scratch;
    do {
        const std::size_t chunk = std::min<std::size_t>(MaxWords, words.size());
        const bool sent = Retry(Tries, RetryPause, [&] {
            return SendFrame(code, address, words) && ReceiveFrame(code, address, scratch);
        });
        if (!sent) {
            return false;
        }
        words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(chunk));
        // The address is a byte address: the next frame's words go right behind this one's.
        address += static_cast<std::uint32_t>(2 * chunk);
    } while (!words.empty());
    return true;
}
