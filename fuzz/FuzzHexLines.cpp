// Any text as the firmware resource: the reader answers true or false and touches nothing
// outside its sections. The first byte picks the processor, out-of-range ones included.
#include "loader/Loader.h"
#include "loader/Resource.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int processor = static_cast<std::int8_t>(data[0]) % 3;
    RegisterResource("FUZZ", std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

    THexLoader loader;
    loader.SelectProcessor(processor);
    const bool accepted = loader.LoadHexResource("FUZZ");

    // What was counted must be what the sections hold.
    std::int32_t sectors = 0;
    std::int32_t pages = 0;
    for (const TMemory& section : loader.GetSections()) {
        for (const TMemSector& sector : section.Sectors) {
            sectors += sector.Used ? 1 : 0;
            for (const TMemPage& page : sector.Pages) {
                pages += page.Used ? 1 : 0;
            }
        }
    }
    if (sectors != loader.GetSectorCount() || pages != loader.GetPageCount() ||
        (accepted && loader.GetSections().empty() && loader.GetWordCount() != 0)) {
        __builtin_trap();
    }
    return 0;
}
