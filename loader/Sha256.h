#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t Sha256Bytes = 32;
using TSha256Digest = std::array<unsigned char, Sha256Bytes>;

// The SHA-256 digest of the bytes, from the platform (back ends: Sha256Posix.cpp,
// Sha256Win32.cpp); throws std::runtime_error when the platform refuses.
TSha256Digest Sha256Digest(std::string_view bytes);

// The digest as 64 lower-case hexadecimal digits, as sha256sum prints it: a technician tells by
// it which firmware a loader carries.
std::string Sha256Hex(std::string_view bytes);
