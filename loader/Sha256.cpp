#include "loader/Sha256.h"

#include <cstdio>

std::string Sha256Hex(std::string_view bytes) {
    std::string hex;
    char pair[3];
    for (const unsigned char byte : Sha256Digest(bytes)) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}
