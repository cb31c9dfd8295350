#pragma once

#include <string>
#include <string_view>

// The SHA-256 digest of the bytes as 64 lower-case hexadecimal digits, as sha256sum prints it:
// a technician tells by it which firmware a loader carries.
std::string Sha256Hex(std::string_view bytes);
