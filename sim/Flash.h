#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The converter's 64 KiB address space as flash words, with the erase and program behaviour of
// MSP430 flash: an erase sets a whole segment to 0xFFFF, programming can only clear bits.
namespace sim {

inline constexpr std::uint32_t FlashBytes = 0x10000;
inline constexpr std::uint32_t FlashWords = FlashBytes / 2;
inline constexpr std::uint16_t Blank = 0xFFFF;

// Information memory: two 128-byte segments. Everything else erases in 512-byte segments
// (main flash of both processors lies at 0x4000 and 0xE000 upwards); the half segment right
// behind the information memory stands alone so that no segment straddles it.
inline constexpr std::uint32_t InfoStart = 0x1000;
inline constexpr std::uint32_t InfoEnd = 0x1100;
inline constexpr std::uint32_t InfoSegment = 128;
inline constexpr std::uint32_t MainSegment = 512;
// Where an "old firmware" lives when the device does not start blank.
inline constexpr std::uint32_t MainFlashStart = 0x4000;

struct Segment {
    std::uint32_t start = 0; // byte address
    std::uint32_t size = 0;  // bytes
    bool operator==(const Segment&) const = default;
};

// The segment that holds a byte address.
Segment SegmentAt(std::uint16_t address);

class Flash {
public:
    Flash(); // blank

    // Word at a byte address; the lowest address bit is ignored, as the word bus does.
    std::uint16_t Read(std::uint16_t address) const;
    // Erases the segment that holds the address and returns it.
    Segment Erase(std::uint16_t address);
    // Programs one word: the cell keeps old & value.
    void Program(std::uint16_t address, std::uint16_t value);
    // Sets words regardless of flash rules (contents the device was built with).
    void Load(std::uint16_t address, std::span<const std::uint16_t> words);
    std::span<const std::uint16_t> Words() const { return Cells; }
    bool IsBlank(std::uint32_t address, std::uint32_t bytes) const;

    // Defective cells, at most one of each kind: a cell stuck at 0x0000 that no erase
    // recovers, and a cell that ignores programming.
    void SetStuckAtZero(std::uint16_t address);
    void SetUnprogrammable(std::uint16_t address);

private:
    std::array<std::uint16_t, FlashWords> Cells;
    std::optional<std::uint32_t> StuckAtZero;    // word index
    std::optional<std::uint32_t> Unprogrammable; // word index
};

enum class FileFormat { IntelHex, Binary };
enum class ByteOrder {
    Memory, // low byte of each word at the even address, as the processor sees it
    Image   // high byte first, the pair order of the firmware's HEX text
};

// The flash as a file, for comparing it with the image after a run. Intel HEX leaves out rows
// of 16 bytes that are all blank.
std::string ToIntelHex(const Flash& flash, ByteOrder order);
std::vector<std::uint8_t> ToBinary(const Flash& flash, ByteOrder order);
bool WriteFlashFile(const Flash& flash, const std::string& path, FileFormat format, ByteOrder order,
                    std::string& error);

} // namespace sim
