// Stands in for the platform's certificate and trust-evaluation functions, over OpenSSL.
//
// A SecCertificate is one DER-encoded X.509 certificate, immutable. A SecTrust holds a server's
// chain (leaf first), the host name it was presented for and its anchors, the only roots it
// trusts (none given: the system's roots). Evaluating it verifies the chain at the time of
// platform::Clock (so a mock clock moves certificates in and out of their validity) for use by a
// TLS server of that host, and leaves a result of the platform's kind (kSecTrustResult...).
//
// Exceptions are bytes of our own format naming one leaf certificate (its SHA-256): a trust
// holding them lets that leaf pass a recoverable failure (an unknown root, an expired
// certificate, another host's name), with the result kSecTrustResultProceed. copyExceptions gives
// them for the trust's current leaf; setExceptions accepts only those of the current leaf.
//
// Thread-safe: a trust may be evaluated on a worker while the main thread reads its result, its
// exceptions or its chain. `mutex_` guards the result and the exceptions; it is never held while
// verifying. The chain, host and anchors never change.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/security/keychain.h"

namespace platform {

class SecCertificate {
 public:
  // None unless `der` is exactly one DER-encoded X.509 certificate.
  static std::shared_ptr<const SecCertificate> createWithData(const Bytes& der);

  // The certificate's encoded (DER) bytes.
  const Bytes& data() const { return der_; }
  // The subject's common name, or the whole subject in one line when it has none.
  const std::string& subjectSummary() const { return summary_; }

 private:
  SecCertificate(Bytes der, std::string summary)
      : der_(std::move(der)), summary_(std::move(summary)) {}
  const Bytes der_;
  const std::string summary_;
};
using SecCertificatePtr = std::shared_ptr<const SecCertificate>;

// The certificates in `data`: every one of a PEM text, or the single certificate of DER bytes.
// Empty when nothing readable is there (a PEM text with one unreadable block reads as nothing).
std::vector<SecCertificatePtr> certificatesFromData(const Bytes& data);

// The platform's trust result types.
using SecTrustResultType = std::uint32_t;
inline constexpr SecTrustResultType kSecTrustResultInvalid = 0;
inline constexpr SecTrustResultType kSecTrustResultProceed = 1;
inline constexpr SecTrustResultType kSecTrustResultConfirm = 2;
inline constexpr SecTrustResultType kSecTrustResultDeny = 3;
inline constexpr SecTrustResultType kSecTrustResultUnspecified = 4;
inline constexpr SecTrustResultType kSecTrustResultRecoverableTrustFailure = 5;
inline constexpr SecTrustResultType kSecTrustResultFatalTrustFailure = 6;
inline constexpr SecTrustResultType kSecTrustResultOtherError = 7;

// The error domain of failed evaluations, and their codes (the platform's status values).
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr OSStatus kSecTrustNotTrusted = -67843;
inline constexpr OSStatus kSecTrustHostNameMismatch = -67602;
inline constexpr OSStatus kSecTrustCertificateExpired = -67818;
inline constexpr OSStatus kSecTrustCertificateNotYetValid = -67819;

class SecTrust {
 public:
  // A trust in `chain` (leaf first) for a TLS server named `host` (none: no name is checked;
  // an IP address is matched as one), trusting only `anchors` (empty: the system's roots).
  SecTrust(std::vector<SecCertificatePtr> chain, std::optional<std::string> host,
           std::vector<SecCertificatePtr> anchors);
  SecTrust(const SecTrust&) = delete;
  SecTrust& operator=(const SecTrust&) = delete;

  // Verifies the chain. True when it is trusted (result unspecified) or when the trust's
  // exceptions let its leaf pass (result proceed). Otherwise false, with `error` (when given) set
  // to an error of kOSStatusErrorDomain whose description says why, and the result a
  // recoverable failure (unknown root, time, host name), a fatal one (anything else) or "other
  // error" for an empty chain (code kSecParam) or unreadable certificates (kSecDecode).
  bool evaluateWithError(ErrorPtr* error);
  // The last evaluation's result (kSecTrustResultInvalid before any, and after the exceptions
  // changed); the status is always kSecSuccess.
  OSStatus getTrustResult(SecTrustResultType* result) const;

  // The exceptions that let the current leaf pass; none for a trust without certificates.
  std::optional<Bytes> copyExceptions() const;
  // Sets exceptions made for this trust's leaf: true, and the trust must be evaluated again.
  // Absent exceptions clear them (true). Bytes of another leaf, or not of our format, are
  // refused: false, and nothing changes.
  bool setExceptions(const std::optional<Bytes>& exceptions);

  std::vector<SecCertificatePtr> copyCertificateChain() const { return chain_; }
  std::int64_t getCertificateCount() const { return static_cast<std::int64_t>(chain_.size()); }
  // None outside 0 ..< count.
  SecCertificatePtr getCertificateAtIndex(std::int64_t index) const;
  const std::optional<std::string>& host() const { return host_; }

 private:
  // The exception bytes for `leaf`.
  static Bytes exceptionsFor(const SecCertificate& leaf);

  const std::vector<SecCertificatePtr> chain_;
  const std::optional<std::string> host_;
  const std::vector<SecCertificatePtr> anchors_;
  mutable std::mutex mutex_;  // guards result_ and exceptions_; never held while verifying
  SecTrustResultType result_ = kSecTrustResultInvalid;
  std::optional<Bytes> exceptions_;
};
using SecTrustPtr = std::shared_ptr<SecTrust>;

}  // namespace platform
