#include "loader/Resource.h"

#include <algorithm>
#include <map>

namespace {

// Blocks registered at run time, by name.
std::map<std::string, std::string, std::less<>>& Registered() {
    static std::map<std::string, std::string, std::less<>> blocks;
    return blocks;
}

} // namespace

EResNotFound::EResNotFound(const std::string& name)
    : std::runtime_error("Resource " + name + " not found") {}

std::string_view FindResource(const std::string& name) {
    const auto& registered = Registered();
    if (const auto it = registered.find(name); it != registered.end()) {
        return it->second;
    }
    const auto embedded = EmbeddedResources();
    const auto it =
        std::find_if(embedded.begin(), embedded.end(),
                     [&](const TEmbeddedResource& block) { return block.Name == name; });
    if (it == embedded.end()) {
        throw EResNotFound(name);
    }
    return it->Bytes;
}

void RegisterResource(const std::string& name, std::string_view bytes) {
    Registered().insert_or_assign(name, std::string(bytes));
}
