#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// Named data blocks built into the program (the carried firmware is "HEX_FILE").
class EResNotFound : public std::runtime_error {
public:
    explicit EResNotFound(const std::string& name);
};

// The bytes of the named block; throws EResNotFound when there is none. A block registered at
// run time hides a built-in one of the same name. The view stays valid until that name is
// registered again.
std::string_view FindResource(const std::string& name);

// Adds or replaces a block at run time; the bytes are copied. Tests use it.
void RegisterResource(const std::string& name, std::string_view bytes);

// One block built into the program. The build generates the table from resources/.
struct TEmbeddedResource {
    std::string_view Name;
    std::string_view Bytes;
};
std::span<const TEmbeddedResource> EmbeddedResources();
