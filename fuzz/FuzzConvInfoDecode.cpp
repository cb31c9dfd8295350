// Any register block as download records: Decode never fails other than by returning false,
// and whatever it accepts encodes back to the same record.
#include "converter/Converter.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t index = data[0] % 20;
    Unsigned16Vector block;
    for (std::size_t i = 1; i + 1 < size; i += 2) {
        block.push_back(static_cast<std::uint16_t>(data[i] | (data[i + 1] << 8)));
    }

    TConvInfoItem item;
    const bool valid = item.Decode(block, index);
    if (valid != item.IsValid()) {
        __builtin_trap();
    }
    Unsigned16Vector encoded;
    try {
        item.Encode(encoded);
    } catch (const std::logic_error&) {
        if (valid || !encoded.empty()) {
            __builtin_trap();
        }
        return 0;
    }
    TConvInfoItem back;
    if (!valid || encoded.size() != TConvInfoItem::RegisterCount || !back.Decode(encoded, 0) ||
        back.User != item.User || back.Id1 != item.Id1 || back.Id2 != item.Id2 ||
        back.Version != item.Version) {
        __builtin_trap();
    }
    return 0;
}
