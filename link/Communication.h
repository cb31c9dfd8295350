#pragma once

#include "link/Serialport.h"
#include "link/Types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

// The boot loader's "DL" frames: command, address, words, CRC-16/CCITT-FALSE.
class TCommunication : public TSerialPort {
public:
    static constexpr int Tries = 3;
    static constexpr std::chrono::milliseconds RetryPause{500};

    TCommunication();

    static std::uint16_t CrcCcitt(const char* bytes, std::size_t length);

    bool SendFrame(std::uint8_t code, std::uint32_t address, const Unsigned16Vector& words);
    bool ReceiveFrame(std::uint8_t code, std::uint32_t address, Unsigned16Vector& words);
    bool Query(std::uint8_t code, std::uint32_t address, Unsigned16Vector& words);
    bool SendCommand(std::uint8_t code, std::uint32_t address, Unsigned16Vector words);

    std::uint32_t GetMaxWords() const { return MaxWords; }

protected:
    CharVector FrameBuffer;
    std::uint32_t MaxWords = 32;
};
