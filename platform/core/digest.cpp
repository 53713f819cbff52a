#include "platform/core/digest.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/core/assertion.h"

namespace platform {
namespace {

const EVP_MD* evpFor(DigestAlgorithm algorithm) {
  switch (algorithm) {
  case DigestAlgorithm::MD5:
    return EVP_md5();
  case DigestAlgorithm::SHA1:
    return EVP_sha1();
  case DigestAlgorithm::SHA256:
    return EVP_sha256();
  case DigestAlgorithm::SHA384:
    return EVP_sha384();
  }
  return EVP_sha256();
}

}  // namespace

std::size_t digestLength(DigestAlgorithm algorithm) {
  return static_cast<std::size_t>(EVP_MD_get_size(evpFor(algorithm)));
}

Bytes digest(DigestAlgorithm algorithm, const void* data, std::size_t size) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const bool ok = ctx && EVP_DigestInit_ex(ctx.get(), evpFor(algorithm), nullptr) == 1 &&
                  EVP_DigestUpdate(ctx.get(), size ? data : "", size) == 1 &&
                  EVP_DigestFinal_ex(ctx.get(), out.data(), &length) == 1;
  // Only allocation failure gets here; an empty result is never a valid digest.
  if (!LUMORA_CHECK(ok, "digest computation failed")) return {};
  out.resize(length);
  return out;
}

std::string hexString(const Bytes& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

}  // namespace platform
