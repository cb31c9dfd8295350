#pragma once

#include <cstdint>
#include <vector>

// Byte buffer of one frame on the line.
using CharVector = std::vector<char>;
// Flash words and Modbus register values.
using Unsigned16Vector = std::vector<std::uint16_t>;
