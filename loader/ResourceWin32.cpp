// On Windows the named blocks are the RCDATA resources of the program's own executable, built
// in by the resource compiler from resources/firmware.rc.

#include "loader/Resource.h"

#include <optional>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// RT_RCDATA for the ANSI functions; the header's own name follows the UNICODE setting.
const LPCSTR RcData = MAKEINTRESOURCEA(10);

struct TModuleResources {
    std::vector<std::string> Names; // owns the texts the table's views point into
    std::vector<TEmbeddedResource> Table;
};

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    // Resources numbered rather than named cannot be asked for by name.
    if (!IS_INTRESOURCE(name)) {
        reinterpret_cast<std::vector<std::string>*>(names)->emplace_back(name);
    }
    return TRUE;
}

// The bytes of one RCDATA resource; they stay mapped as long as the program runs.
std::optional<std::string_view> ResourceBytes(HMODULE module, const std::string& name) {
    const HRSRC info = ::FindResourceA(module, name.c_str(), RcData);
    if (info == nullptr) {
        return std::nullopt;
    }
    const HGLOBAL loaded = ::LoadResource(module, info);
    const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return std::nullopt;
    }
    return std::string_view(static_cast<const char*>(bytes), ::SizeofResource(module, info));
}

TModuleResources ReadModuleResources() {
    TModuleResources resources;
    const HMODULE self = ::GetModuleHandleA(nullptr);
    (void)::EnumResourceNamesA(self, RcData, CollectName,
                               reinterpret_cast<LONG_PTR>(&resources.Names));
    resources.Table.reserve(resources.Names.size());
    // One that cannot be loaded stays out of the table, so asking for it fails as for a
    // missing one.
    for (const std::string& name : resources.Names) {
        if (const auto bytes = ResourceBytes(self, name)) {
            resources.Table.push_back({name, *bytes});
        }
    }
    return resources;
}

} // namespace

std::span<const TEmbeddedResource> EmbeddedResources() {
    static const TModuleResources resources = ReadModuleResources();
    return resources.Table;
}
