#include "sim/Flash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace sim {

namespace {

std::uint32_t WordIndex(std::uint32_t address) {
    return (address & (FlashBytes - 1)) / 2;
}

std::array<std::uint8_t, 2> BytesOf(std::uint16_t word, ByteOrder order) {
    const auto low = static_cast<std::uint8_t>(word & 0xFF);
    const auto high = static_cast<std::uint8_t>(word >> 8);
    if (order == ByteOrder::Memory) {
        return {low, high};
    }
    return {high, low};
}

void AppendHexByte(std::string& text, std::uint8_t byte, std::uint8_t& sum) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    text += Digits[byte >> 4];
    text += Digits[byte & 0xF];
    sum = static_cast<std::uint8_t>(sum + byte);
}

void AppendRecord(std::string& text, std::uint8_t type, std::uint16_t address,
                  std::span<const std::uint8_t> data) {
    std::uint8_t sum = 0;
    text += ':';
    AppendHexByte(text, static_cast<std::uint8_t>(data.size()), sum);
    AppendHexByte(text, static_cast<std::uint8_t>(address >> 8), sum);
    AppendHexByte(text, static_cast<std::uint8_t>(address & 0xFF), sum);
    AppendHexByte(text, type, sum);
    for (std::uint8_t byte : data) {
        AppendHexByte(text, byte, sum);
    }
    std::uint8_t ignored = 0;
    AppendHexByte(text, static_cast<std::uint8_t>(0x100 - sum), ignored);
    text += '\n';
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

Segment SegmentAt(std::uint16_t address) {
    if (address >= InfoStart && address < InfoEnd) {
        return {address & ~(InfoSegment - 1), InfoSegment};
    }
    Segment segment{address & ~(MainSegment - 1), MainSegment};
    if (segment.start == InfoStart) {
        segment.start = InfoEnd;
        segment.size = MainSegment - (InfoEnd - InfoStart);
    }
    return segment;
}

Flash::Flash() {
    Cells.fill(Blank);
}

std::uint16_t Flash::Read(std::uint16_t address) const {
    return Cells[WordIndex(address)];
}

Segment Flash::Erase(std::uint16_t address) {
    const Segment segment = SegmentAt(address);
    for (std::uint32_t a = segment.start; a < segment.start + segment.size; a += 2) {
        Cells[WordIndex(a)] = Blank;
    }
    if (StuckAtZero && *StuckAtZero * 2 >= segment.start &&
        *StuckAtZero * 2 < segment.start + segment.size) {
        Cells[*StuckAtZero] = 0x0000;
    }
    return segment;
}

void Flash::Program(std::uint16_t address, std::uint16_t value) {
    const std::uint32_t index = WordIndex(address);
    if (Unprogrammable == index) {
        return;
    }
    Cells[index] &= value;
}

void Flash::Load(std::uint16_t address, std::span<const std::uint16_t> words) {
    std::uint32_t a = address;
    for (std::uint16_t word : words) {
        Cells[WordIndex(a)] = word;
        a += 2;
    }
}

bool Flash::IsBlank(std::uint32_t address, std::uint32_t bytes) const {
    for (std::uint32_t a = address; a < address + bytes; a += 2) {
        if (Cells[WordIndex(a)] != Blank) {
            return false;
        }
    }
    return true;
}

void Flash::SetStuckAtZero(std::uint16_t address) {
    StuckAtZero = WordIndex(address);
    Cells[*StuckAtZero] = 0x0000;
}

void Flash::SetUnprogrammable(std::uint16_t address) {
    Unprogrammable = WordIndex(address);
}

std::string ToIntelHex(const Flash& flash, ByteOrder order) {
    constexpr std::uint32_t RowBytes = 16;
    std::string text;
    for (std::uint32_t row = 0; row < FlashBytes; row += RowBytes) {
        if (flash.IsBlank(row, RowBytes)) {
            continue;
        }
        std::array<std::uint8_t, RowBytes> data{};
        for (std::uint32_t i = 0; i < RowBytes; i += 2) {
            const auto pair = BytesOf(flash.Read(static_cast<std::uint16_t>(row + i)), order);
            data[i] = pair[0];
            data[i + 1] = pair[1];
        }
        AppendRecord(text, 0x00, static_cast<std::uint16_t>(row), data);
    }
    AppendRecord(text, 0x01, 0, {});
    return text;
}

std::vector<std::uint8_t> ToBinary(const Flash& flash, ByteOrder order) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(FlashBytes);
    for (std::uint16_t word : flash.Words()) {
        const auto pair = BytesOf(word, order);
        bytes.insert(bytes.end(), pair.begin(), pair.end());
    }
    return bytes;
}

bool WriteFlashFile(const Flash& flash, const std::string& path, FileFormat format, ByteOrder order,
                    std::string& error) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bool written = false;
    if (format == FileFormat::IntelHex) {
        const std::string text = ToIntelHex(flash, order);
        written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    } else {
        const auto bytes = ToBinary(flash, order);
        written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    }
    if (!written || std::fclose(file.release()) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace sim
