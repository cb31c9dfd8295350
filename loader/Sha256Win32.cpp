#include "loader/Sha256.h"

#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <windows.h>
// CNG's types after windows.h.
#include <bcrypt.h>

namespace {

struct TAlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};
using TAlgorithm = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, TAlgorithmCloser>;

[[noreturn]] void Refused(const char* call) {
    throw std::runtime_error(std::string("SHA-256: ") + call + " failed");
}

} // namespace

// CNG, Windows' own bcrypt.dll.
TSha256Digest Sha256Digest(std::string_view bytes) {
    if (bytes.size() > std::numeric_limits<ULONG>::max()) {
        throw std::length_error("SHA-256: more bytes than one call takes");
    }
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        Refused("BCryptOpenAlgorithmProvider");
    }
    const TAlgorithm algorithm(opened);
    TSha256Digest digest{};
    // The input is only read; the call's type wants it writable.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    if (!BCRYPT_SUCCESS(BCryptHash(algorithm.get(), nullptr, 0, input,
                                   static_cast<ULONG>(bytes.size()), digest.data(),
                                   static_cast<ULONG>(digest.size())))) {
        Refused("BCryptHash");
    }
    return digest;
}
