#include "sim/Crc.h"

namespace sim {

// Bit by bit, as a small boot loader would do it: the device side has no time-critical path.
std::uint16_t CrcModbus(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            const bool lsb = (crc & 1U) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (lsb) {
                crc ^= 0xA001;
            }
        }
    }
    return crc;
}

std::uint16_t CrcCcitt(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            const bool msb = (crc & 0x8000U) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (msb) {
                crc ^= 0x1021;
            }
        }
    }
    return crc;
}

} // namespace sim
