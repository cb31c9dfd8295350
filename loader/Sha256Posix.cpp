#include "loader/Sha256.h"

#include <openssl/evp.h>
#include <stdexcept>

// OpenSSL's libcrypto, which the system keeps up to date.
TSha256Digest Sha256Digest(std::string_view bytes) {
    TSha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) !=
            1 ||
        length != digest.size()) {
        throw std::runtime_error("SHA-256: libcrypto refused to hash");
    }
    return digest;
}
