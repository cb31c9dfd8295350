#include "loader/Loader.h"

#include "loader/Resource.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace {

// Characters from the 1-based position on; a piece that runs past the end of the line is cut
// short there, one that begins past it is empty.
std::string Piece(const std::string& line, std::size_t position, std::size_t length) {
    if (position > line.size()) {
        return {};
    }
    return line.substr(position - 1, length);
}

// 1-based positions in a record: its first data word, and its checksum behind count/2 words.
constexpr std::size_t DataPosition = 10;
constexpr std::string_view HexDigits = "0123456789ABCDEFabcdef";
constexpr std::size_t ChecksumPosition(std::size_t words) {
    return DataPosition + 4 * words;
}

std::uint8_t LowByte(std::uint32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}
std::uint8_t HighByte(std::uint32_t value) {
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// A line ends at CR, at LF or at CR LF; the text's last ending adds no empty line.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", begin);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(begin));
            break;
        }
        lines.emplace_back(text.substr(begin, end - begin));
        begin = end + 1;
        if (text[end] == '\r' && begin < text.size() && text[begin] == '\n') {
            ++begin;
        }
    }
    return lines;
}

} // namespace

THexLoader::THexLoader() = default;

// ---- Processor table -------------------------------------------------------------------------

void THexLoader::GetProcessorNames(std::vector<std::string>& list) const {
    list.assign(ProcessorNames.begin(), ProcessorNames.end());
}

bool THexLoader::SelectProcessor(int index) {
    if (index < 0 || index >= static_cast<int>(ProcessorNames.size())) {
        return false;
    }
    for (const TMemLayout& layout : MemLayouts) {
        if (layout.Processor == index && AddMemorySection(layout) < 0) {
            return false;
        }
    }
    return true;
}

// ---- Firmware image --------------------------------------------------------------------------

int THexLoader::AddMemorySection(const TMemLayout& layout) {
    // Beyond the divisibility rules, refuse what could not be laid out at all: empty or
    // negative units and an odd size (the section is kept as whole words).
    if (layout.SectorSize <= 0 || layout.PageSize <= 0 || layout.Size < 0 || layout.Size % 2 != 0) {
        return -1;
    }
    if (layout.Size % layout.SectorSize != 0 || layout.SectorSize % layout.PageSize != 0) {
        return -1;
    }
    TMemSector sector;
    sector.Pages.resize(static_cast<std::size_t>(layout.SectorSize / layout.PageSize));

    TMemory section;
    section.Size = layout.Size;
    section.Start = layout.Start;
    section.SectorSize = layout.SectorSize;
    section.PageSize = layout.PageSize;
    section.Data.assign(static_cast<std::size_t>(layout.Size / 2), 0xFFFF);
    section.Sectors.assign(static_cast<std::size_t>(layout.Size / layout.SectorSize), sector);

    Sections.push_back(std::move(section));
    return static_cast<int>(Sections.size()) - 1;
}

std::int32_t THexLoader::HexToInt(const std::string& text) {
    std::uint32_t value = 0;
    for (const char c : text) {
        const int digit = std::toupper(static_cast<unsigned char>(c));
        value *= 16;
        if (digit >= '0' && digit <= '9') {
            value += static_cast<std::uint32_t>(digit - '0');
        } else if (digit >= 'A' && digit <= 'F') {
            value += static_cast<std::uint32_t>(digit - 'A' + 10);
        } else {
            return -1;
        }
    }
    return static_cast<std::int32_t>(value);
}

bool THexLoader::ParseHexLine(const std::string& line) {
    if (line.empty() || line[0] != ':') {
        return false;
    }
    // A field that is not hexadecimal reads -1, which the casts turn into all ones.
    THexEntry entry;
    entry.Count = static_cast<std::uint8_t>(HexToInt(Piece(line, 2, 2)));
    entry.Address = static_cast<std::uint16_t>(HexToInt(Piece(line, 4, 4)));
    const auto type = static_cast<std::uint16_t>(HexToInt(Piece(line, 8, 2)));

    std::uint8_t sum = static_cast<std::uint8_t>(entry.Count + LowByte(entry.Address) +
                                                 HighByte(entry.Address) + LowByte(type));
    // Data and end-of-file records only: addresses stay plain 16-bit byte addresses.
    if (type > 1) {
        return false;
    }
    // The image holds whole words: a record with an odd count would be accepted with its last
    // data byte silently left out of the flash.
    if (entry.Count % 2 != 0) {
        return false;
    }
    const std::size_t words = entry.Count / 2;
    // A line cut short would read its missing digits as 0, and a digit that is not hexadecimal
    // makes its field all ones; either could still sum to 0 and put into flash what the file
    // never held. Every field the count declares, the checksum included, must be there whole.
    if (line.size() < ChecksumPosition(words) + 1 ||
        std::string_view(line).substr(1, ChecksumPosition(words)).find_first_not_of(HexDigits) !=
            std::string_view::npos) {
        return false;
    }
    for (std::size_t k = 0; k < words; ++k) {
        const auto word =
            static_cast<std::uint16_t>(HexToInt(Piece(line, DataPosition + 4 * k, 4)));
        sum = static_cast<std::uint8_t>(sum + LowByte(word) + HighByte(word));
        entry.Data.push_back(word);
    }
    const auto checksum =
        static_cast<std::uint32_t>(HexToInt(Piece(line, ChecksumPosition(words), 2)));
    sum = static_cast<std::uint8_t>(sum + LowByte(checksum));
    if (sum != 0) {
        return false;
    }
    return StoreEntry(std::move(entry));
}

bool THexLoader::ParseHexLines(const std::vector<std::string>& lines) {
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (!ParseHexLine(lines[n])) {
            AddMessage("error while reading line " + std::to_string(n + 1) + " of hexfile!");
            return false;
        }
    }
    AddMessage("Done reading hexfile (" + std::to_string(SectorCount) + " sectors, " +
               std::to_string(PageCount) + " pages, " + std::to_string(ByteCount()) + " bytes)!");
    return true;
}

bool THexLoader::StoreEntry(THexEntry entry) {
    std::int32_t address = entry.Address;
    for (const std::uint16_t word : entry.Data) {
        TMemory* section = FindSection(address);
        if (section == nullptr) {
            return false;
        }
        StoreWord(*section, address, word);
        address += 2;
    }
    return true;
}

TMemory* THexLoader::FindSection(std::int32_t address) {
    for (TMemory& section : Sections) {
        const std::int64_t end = std::int64_t{section.Start} + section.Size;
        if (section.Start <= address && address < end) {
            return &section;
        }
    }
    return nullptr;
}

void THexLoader::StoreWord(TMemory& section, std::int32_t address, std::uint16_t word) {
    const std::int64_t offset = std::int64_t{address} - section.Start;
    if (offset < 0 || offset >= section.Size) {
        throw std::out_of_range("THexLoader: Address outside the section!");
    }
    const auto sector = static_cast<std::size_t>(offset / section.SectorSize);
    const auto page = static_cast<std::size_t>((offset % section.SectorSize) / section.PageSize);

    // An odd address lands on the word of the even address below it.
    section.Data[static_cast<std::size_t>(offset / 2)] = word;
    ++WordCount;

    TMemSector& used = section.Sectors[sector];
    if (!used.Used) {
        used.Used = true;
        ++SectorCount;
    }
    if (!used.Pages[page].Used) {
        used.Pages[page].Used = true;
        ++PageCount;
    }
}

void THexLoader::AddMessage(const std::string& text) {
    if (MessageList != nullptr) {
        MessageList->Append(text);
    }
}

// ---- Firmware resource -----------------------------------------------------------------------

bool THexLoader::LoadHexResource(const std::string& name) {
    const std::string_view text = FindResource(name); // throws before any message
    // A loader that updates one converter after another reads the image for each: the new
    // reading replaces the old, or its counts (and the bytes logged) would add up.
    for (TMemory& section : Sections) {
        std::fill(section.Data.begin(), section.Data.end(), std::uint16_t{0xFFFF});
        for (TMemSector& sector : section.Sectors) {
            sector.Used = false;
            for (TMemPage& page : sector.Pages) {
                page.Used = false;
            }
        }
    }
    SectorCount = 0;
    PageCount = 0;
    WordCount = 0;
    AddMessage("Reading hexfile....");
    return ParseHexLines(SplitLines(text));
}

// ---- Download procedure ----------------------------------------------------------------------

namespace {

// What one read returns from an erased page: the boot loader always sends 32 words.
constexpr std::size_t ReadWords = 32;
constexpr std::uint16_t BlankWord = 0xFFFF;

// Flash addresses in messages: upper-case hex, at least four digits.
std::string HexAddress(std::int32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(address));
    return text;
}

} // namespace

bool THexLoader::Download() {
    if (!IsOpen()) {
        AddMessage("Serial port not opended!");
        return false;
    }
    for (std::size_t n = 0; n < Sections.size(); ++n) {
        const TMemory& section = Sections[n];
        AddMessage("Starting download of memory section " + std::to_string(n + 1) + "....");
        InitProgress(static_cast<int>(section.Sectors.size()));
        if (!ProgramSection(section)) {
            AddMessage("Download aborted!");
            return false;
        }
        AddMessage("Completed download successfully!");
    }
    return true;
}

bool THexLoader::ProgramSection(const TMemory& section) {
    std::int32_t address = section.Start;
    for (std::size_t k = 0; k < section.Sectors.size(); ++k) {
        const TMemSector& sector = section.Sectors[k];
        if (sector.Used) {
            if (!SendCommand(CmdErase, static_cast<std::uint32_t>(address), {})) {
                AddMessage("Failed to erase sector at 0x" + HexAddress(address) + "!");
                return false;
            }
            ReportStep(TDownloadStep::Erase, address, 0);
            if (!ProgramSector(address, section, sector)) {
                return false;
            }
        }
        // Untouched sectors move the bar too, so it always ends at the section's sector count.
        SetProgress(static_cast<int>(k + 1));
        address += section.SectorSize;
    }
    return true;
}

bool THexLoader::ProgramSector(std::int32_t address, const TMemory& section,
                               const TMemSector& sector) {
    const auto pageWords = static_cast<std::size_t>(section.PageSize / 2);
    const Unsigned16Vector blank(ReadWords, BlankWord);
    Unsigned16Vector read;
    for (const TMemPage& page : sector.Pages) {
        if (page.Used) {
            const std::int64_t offset = std::int64_t{address} - section.Start;
            if (offset < 0 ||
                offset / 2 + std::int64_t(pageWords) > std::int64_t(section.Data.size())) {
                throw std::out_of_range("THexLoader: Page outside the section!");
            }
            const auto first = section.Data.begin() + static_cast<std::ptrdiff_t>(offset / 2);
            const Unsigned16Vector words(first, first + static_cast<std::ptrdiff_t>(pageWords));
            const auto at = static_cast<std::uint32_t>(address);
            if (!Query(CmdRead, at, read)) {
                AddMessage("Failed to check page at 0x" + HexAddress(address) + "!");
                return false;
            }
            ReportStep(TDownloadStep::BlankCheck, address, read.size());
            if (read != blank) {
                AddMessage("Page at 0x" + HexAddress(address) + " is not blank!");
                return false;
            }
            if (!SendCommand(CmdWrite, at, words)) {
                AddMessage("Failed to write page at 0x" + HexAddress(address) + "!");
                return false;
            }
            ReportStep(TDownloadStep::Write, address, words.size());
            if (!Query(CmdRead, at, read)) {
                AddMessage("Failed to verify page at 0x" + HexAddress(address) + "!");
                return false;
            }
            ReportStep(TDownloadStep::Verify, address, read.size());
            if (read != words) {
                AddMessage("Page at 0x" + HexAddress(address) + " different than in hexfile!");
                return false;
            }
        }
        address += section.PageSize;
    }
    return true;
}

bool THexLoader::StartApplication() {
    if (!IsOpen()) {
        AddMessage("Serial port not opended!");
        return false;
    }
    AddMessage("Starting application...");
    if (!SendCommand(CmdStart, 0, {})) {
        AddMessage("Could not start application!");
        return false;
    }
    AddMessage("Started application successfully!");
    return true;
}

void THexLoader::ReportStep(TDownloadStep kind, std::int32_t address, std::size_t words) {
    if (DownloadSteps != nullptr) {
        DownloadSteps->Step(kind, address, static_cast<std::int32_t>(words));
    }
}

void THexLoader::InitProgress(int maximum) {
    if (ProgressBar != nullptr) {
        ProgressBar->SetRange(0, maximum);
        ProgressBar->SetPosition(0);
    }
}

void THexLoader::SetProgress(int position) {
    if (ProgressBar != nullptr) {
        ProgressBar->SetPosition(position);
    }
}
