#pragma once

#include "link/Communication.h"
#include "link/Types.h"
#include "loader/DownloadSteps.h"
#include "loader/MessageList.h"
#include "loader/ProgressBar.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct TMemLayout {
    std::int32_t Processor;
    std::int32_t Start;
    std::int32_t Size;
    std::int32_t SectorSize;
    std::int32_t PageSize;
};

struct TMemPage {
    bool Used = false;
};
using MemPageVector = std::vector<TMemPage>;

struct TMemSector {
    bool Used = false;
    MemPageVector Pages;
};
using MemSectorVector = std::vector<TMemSector>;

struct TMemory {
    std::int32_t Size = 0;
    std::int32_t Start = 0;
    std::int32_t SectorSize = 0;
    std::int32_t PageSize = 0;
    Unsigned16Vector Data;
    MemSectorVector Sectors;
};
using MemoryVector = std::vector<TMemory>;

struct THexEntry {
    std::uint8_t Count = 0;
    std::uint16_t Address = 0;
    Unsigned16Vector Data;
};

inline constexpr std::array<const char*, 2> ProcessorNames{"MSP430F1611", "MSP430F133"};

inline constexpr std::array<TMemLayout, 4> MemLayouts{{
    {0, 0x4000, 0xC000, 512, 64}, // main flash, interrupt vectors included
    {0, 0x1000, 0x0100, 128, 64}, // information memory
    {1, 0xE000, 0x2000, 512, 64},
    {1, 0x1000, 0x0100, 128, 64},
}};

class THexLoader : public TCommunication {
public:
    // Loader link command codes.
    static constexpr std::uint8_t CmdStart = 0;
    static constexpr std::uint8_t CmdErase = 1;
    static constexpr std::uint8_t CmdWrite = 2;
    static constexpr std::uint8_t CmdRead = 3;

    THexLoader();

    // Processor table
    void GetProcessorNames(std::vector<std::string>& list) const;
    bool SelectProcessor(int index);

    // Firmware image
    int AddMemorySection(const TMemLayout& layout);
    bool ParseHexLines(const std::vector<std::string>& lines);
    bool ParseHexLine(const std::string& line);
    bool StoreEntry(THexEntry entry);
    static std::int32_t HexToInt(const std::string& text);
    TMemory* FindSection(std::int32_t address);
    void StoreWord(TMemory& section, std::int32_t address, std::uint16_t word);
    std::int32_t ByteCount() const { return 2 * WordCount; }
    void AddMessage(const std::string& text);
    void SetMessageList(TMessageList* list) { MessageList = list; }

    // Firmware resource
    bool LoadHexResource(const std::string& name);

    // Download procedure
    void SetProgressBar(TProgressBar* bar) { ProgressBar = bar; }
    void SetDownloadSteps(TDownloadSteps* steps) { DownloadSteps = steps; }
    bool Download();
    bool StartApplication();
    bool ProgramSection(const TMemory& section);
    bool ProgramSector(std::int32_t address, const TMemory& section, const TMemSector& sector);
    void InitProgress(int maximum);
    void SetProgress(int position);

    const MemoryVector& GetSections() const { return Sections; }
    std::int32_t GetSectorCount() const { return SectorCount; }
    std::int32_t GetPageCount() const { return PageCount; }
    std::int32_t GetWordCount() const { return WordCount; }

protected:
    MemoryVector Sections;
    std::int32_t SectorCount = 0;
    std::int32_t PageCount = 0;
    std::int32_t WordCount = 0;
    TMessageList* MessageList = nullptr;     // owned by the front end
    TProgressBar* ProgressBar = nullptr;     // owned by the front end
    TDownloadSteps* DownloadSteps = nullptr; // owned by the front end

private:
    void ReportStep(TDownloadStep kind, std::int32_t address, std::size_t words);
};
