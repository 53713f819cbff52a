// Message digests (MD5, SHA-1, SHA-256, SHA-384) over OpenSSL, and the lower-case hex form of
// bytes. MD5 and SHA-1 are here for protocol compatibility (checksums, identifiers), not for
// security. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/core/value.h"

namespace platform {

enum class DigestAlgorithm { MD5, SHA1, SHA256, SHA384 };

// Digest length in bytes: 16, 20, 32, 48.
std::size_t digestLength(DigestAlgorithm algorithm);
Bytes digest(DigestAlgorithm algorithm, const void* data, std::size_t size);
inline Bytes digest(DigestAlgorithm algorithm, std::string_view data) {
  return digest(algorithm, data.data(), data.size());
}
inline Bytes digest(DigestAlgorithm algorithm, const Bytes& data) {
  return digest(algorithm, data.data(), data.size());
}

// Lower-case hex, two characters per byte.
std::string hexString(const Bytes& bytes);

}  // namespace platform
