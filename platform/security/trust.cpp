#include "platform/security/trust.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "platform/core/digest.h"
#include "platform/dispatch/clock.h"

namespace platform {

namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Exceptions: the magic, a format version, then the leaf's SHA-256.
constexpr std::uint8_t kExceptionMagic[] = {'L', 'M', 'X', 'T', 1};
constexpr std::size_t kExceptionSize = sizeof(kExceptionMagic) + 32;

X509Ptr parseDER(const Bytes& der) {
  const unsigned char* p = der.data();
  X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  // Trailing bytes mean this was not one certificate.
  if (x && p != der.data() + der.size()) x.reset();
  ERR_clear_error();
  return x;
}

Bytes encodeDER(X509* x) {
  unsigned char* out = nullptr;
  const int length = i2d_X509(x, &out);
  if (length <= 0) return {};
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

std::string summaryOf(X509* x) {
  X509_NAME* subject = X509_get_subject_name(x);
  char name[256] = {};
  if (X509_NAME_get_text_by_NID(subject, NID_commonName, name, sizeof(name)) > 0) return name;
  char* line = X509_NAME_oneline(subject, nullptr, 0);
  std::string text = line ? line : "";
  OPENSSL_free(line);
  return text;
}

bool isRecoverable(int error) {
  switch (error) {
  case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
  case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
  case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
  case X509_V_ERR_CERT_UNTRUSTED:
  case X509_V_ERR_CERT_HAS_EXPIRED:
  case X509_V_ERR_CERT_NOT_YET_VALID:
  case X509_V_ERR_HOSTNAME_MISMATCH:
  case X509_V_ERR_IP_ADDRESS_MISMATCH:
    return true;
  default:
    return false;
  }
}

OSStatus statusOf(int error) {
  switch (error) {
  case X509_V_ERR_CERT_HAS_EXPIRED:
    return kSecTrustCertificateExpired;
  case X509_V_ERR_CERT_NOT_YET_VALID:
    return kSecTrustCertificateNotYetValid;
  case X509_V_ERR_HOSTNAME_MISMATCH:
  case X509_V_ERR_IP_ADDRESS_MISMATCH:
    return kSecTrustHostNameMismatch;
  default:
    return kSecTrustNotTrusted;
  }
}

// A trust holds certificates; an absent element is a caller's slip, not a certificate.
std::vector<SecCertificatePtr> withoutNulls(std::vector<SecCertificatePtr> list) {
  std::erase(list, nullptr);
  return list;
}

struct Verdict {
  SecTrustResultType result = kSecTrustResultOtherError;
  OSStatus status = kSecSuccess;
  std::string reason;
};

}  // namespace

std::shared_ptr<const SecCertificate> SecCertificate::createWithData(const Bytes& der) {
  auto x = parseDER(der);
  if (!x) return nullptr;
  return std::shared_ptr<const SecCertificate>(new SecCertificate(der, summaryOf(x.get())));
}

std::vector<SecCertificatePtr> certificatesFromData(const Bytes& data) {
  static constexpr char kPEMBegin[] = "-----BEGIN CERTIFICATE-----";
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (text.find(kPEMBegin) == std::string_view::npos) {
    if (auto certificate = SecCertificate::createWithData(data)) return {certificate};
    return {};
  }
  std::vector<SecCertificatePtr> out;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(data.data(), static_cast<int>(std::min<std::size_t>(data.size(), INT32_MAX))),
      BIO_free);
  if (!bio) return {};
  const std::size_t blocks = [&] {
    std::size_t count = 0;
    for (auto at = text.find(kPEMBegin); at != std::string_view::npos;
         at = text.find(kPEMBegin, at + 1))
      ++count;
    return count;
  }();
  while (X509Ptr x{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
    auto certificate = SecCertificate::createWithData(encodeDER(x.get()));
    if (!certificate) break;
    out.push_back(std::move(certificate));
  }
  ERR_clear_error();
  if (out.size() != blocks) return {};
  return out;
}

SecTrust::SecTrust(std::vector<SecCertificatePtr> chain, std::optional<std::string> host,
                   std::vector<SecCertificatePtr> anchors)
    : chain_(withoutNulls(std::move(chain))), host_(std::move(host)),
      anchors_(withoutNulls(std::move(anchors))) {}

SecCertificatePtr SecTrust::getCertificateAtIndex(std::int64_t index) const {
  if (index < 0 || index >= getCertificateCount()) return nullptr;
  return chain_[static_cast<std::size_t>(index)];
}

Bytes SecTrust::exceptionsFor(const SecCertificate& leaf) {
  Bytes out(std::begin(kExceptionMagic), std::end(kExceptionMagic));
  const Bytes hash = digest(DigestAlgorithm::SHA256, leaf.data());
  out.insert(out.end(), hash.begin(), hash.end());
  return out;
}

std::optional<Bytes> SecTrust::copyExceptions() const {
  if (chain_.empty()) return std::nullopt;
  return exceptionsFor(*chain_.front());
}

bool SecTrust::setExceptions(const std::optional<Bytes>& exceptions) {
  if (exceptions) {
    if (chain_.empty() || exceptions->size() != kExceptionSize ||
        *exceptions != exceptionsFor(*chain_.front()))
      return false;
  }
  std::lock_guard lock(mutex_);
  exceptions_ = exceptions;
  result_ = kSecTrustResultInvalid;
  return true;
}

OSStatus SecTrust::getTrustResult(SecTrustResultType* result) const {
  if (!result) return kSecParam;
  std::lock_guard lock(mutex_);
  *result = result_;
  return kSecSuccess;
}

bool SecTrust::evaluateWithError(ErrorPtr* error) {
  std::optional<Bytes> exceptions;
  {
    std::lock_guard lock(mutex_);
    exceptions = exceptions_;
  }
  const std::string name =
      host_ ? *host_ : (chain_.empty() ? std::string() : chain_.front()->subjectSummary());

  Verdict verdict;
  [&] {
    if (chain_.empty()) {
      verdict = {kSecTrustResultOtherError, kSecParam, "the trust holds no certificate"};
      return;
    }
    std::vector<X509Ptr> parsed;
    for (const auto& certificate : chain_)
      parsed.push_back(parseDER(certificate->data()));
    std::vector<X509Ptr> roots;
    for (const auto& anchor : anchors_)
      roots.push_back(parseDER(anchor->data()));
    const auto missing = [](const X509Ptr& x) { return !x; };
    if (std::any_of(parsed.begin(), parsed.end(), missing) ||
        std::any_of(roots.begin(), roots.end(), missing)) {
      verdict = {kSecTrustResultOtherError, kSecDecode, "a certificate could not be read"};
      return;
    }

    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(),
                                                                  X509_STORE_free);
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted(
        sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                            X509_STORE_CTX_free);
    if (!store || !untrusted || !context) {
      verdict = {kSecTrustResultOtherError, kSecAllocate, "out of memory"};
      return;
    }
    for (const auto& root : roots)
      X509_STORE_add_cert(store.get(), root.get());
    if (roots.empty()) X509_STORE_set_default_paths(store.get());
    for (std::size_t i = 1; i < parsed.size(); ++i)
      sk_X509_push(untrusted.get(), parsed[i].get());
    if (X509_STORE_CTX_init(context.get(), store.get(), parsed.front().get(), untrusted.get()) !=
        1) {
      verdict = {kSecTrustResultOtherError, kSecAllocate, "out of memory"};
      return;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    // Anchors are trusted as they stand, roots or not.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(Clock::current().now()));
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (host_ && X509_VERIFY_PARAM_set1_ip_asc(param, host_->c_str()) != 1)
      X509_VERIFY_PARAM_set1_host(param, host_->c_str(), host_->size());
    const int ok = X509_verify_cert(context.get());
    const int code = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    if (ok == 1) {
      verdict = {kSecTrustResultUnspecified, kSecSuccess, ""};
      return;
    }
    const char* reason = X509_verify_cert_error_string(code);
    verdict = {isRecoverable(code) ? kSecTrustResultRecoverableTrustFailure
                                   : kSecTrustResultFatalTrustFailure,
               statusOf(code), reason ? reason : "verification failed"};
  }();

  // Exceptions made for this very leaf let it pass a recoverable failure.
  if (verdict.result == kSecTrustResultRecoverableTrustFailure && exceptions &&
      *exceptions == exceptionsFor(*chain_.front())) {
    verdict = {kSecTrustResultProceed, kSecSuccess, ""};
  }
  {
    std::lock_guard lock(mutex_);
    result_ = verdict.result;
  }
  const bool trusted =
      verdict.result == kSecTrustResultUnspecified || verdict.result == kSecTrustResultProceed;
  if (!trusted && error) {
    *error = Error::withDescription(kOSStatusErrorDomain, verdict.status,
                                    "The certificate for \"" + name +
                                        "\" is not trusted: " + verdict.reason + ".");
  }
  return trusted;
}

}  // namespace platform
