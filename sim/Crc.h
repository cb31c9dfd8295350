#pragma once

#include <cstdint>
#include <span>

// The two checksums the converter checks and sends: the Modbus RTU CRC of its application
// and the CCITT CRC of its boot loader's "DL" frames.
namespace sim {

// CRC-16/MODBUS (reflected polynomial 0xA001, start 0xFFFF). Its low byte goes first on the line.
std::uint16_t CrcModbus(std::span<const std::uint8_t> bytes);

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF, not reflected).
std::uint16_t CrcCcitt(std::span<const std::uint8_t> bytes);

} // namespace sim
