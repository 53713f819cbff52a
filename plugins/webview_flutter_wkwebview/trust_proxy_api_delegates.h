// The native side of server trusts and certificates: the wrappers that let a trust and a
// certificate be registered as instances, the trust-result record, and the delegates of
// "SecTrust", "SecCertificate" and "GetTrustResultResponse".
//
// Requests arrive on the main thread. Only an evaluation leaves it: it runs on the global queue
// of default priority and answers from the main queue; the rest answer before returning. Every
// call into the trust goes through an overridable sec... method shaped like the platform
// function it stands for, so tests can script what the platform would answer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/security/trust.h"
#include "platform/webkit/native_object.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

// One server trust, boxed so that it can be registered. A new box is made each time a trust is
// handed out; the boxes share the trust.
class SecTrustWrapper : public platform::webkit::NativeObject {
 public:
  explicit SecTrustWrapper(platform::SecTrustPtr value) : value(std::move(value)) {}
  std::string className() const override { return "SecTrustWrapper"; }
  const platform::SecTrustPtr value;
};

class SecCertificateWrapper : public platform::webkit::NativeObject {
 public:
  explicit SecCertificateWrapper(platform::SecCertificatePtr value) : value(std::move(value)) {}
  std::string className() const override { return "SecCertificateWrapper"; }
  const platform::SecCertificatePtr value;
};

// What getTrustResult read: the platform's result type and the status it returned.
class GetTrustResultResponse : public platform::webkit::NativeObject {
 public:
  GetTrustResultResponse(platform::SecTrustResultType result, platform::OSStatus resultCode)
      : result(result), resultCode(resultCode) {}
  std::string className() const override { return "GetTrustResultResponse"; }
  const platform::SecTrustResultType result;
  const platform::OSStatus resultCode;
};

// The platform's result type as the bridge's case; values of 8 and up are `unknown`.
DartSecTrustResultType dartTrustResult(platform::SecTrustResultType result);

class SecTrustProxyAPIDelegate : public PigeonApiDelegateSecTrust,
                                 public std::enable_shared_from_this<SecTrustProxyAPIDelegate> {
 public:
  // Evaluates on the global queue; `completion` runs on the main queue with the boolean, or with
  // an error of [domain, description, null] whenever the evaluation gave an error.
  void evaluateWithError(
      PigeonApiSecTrust& pigeonApi, const platform::webkit::NativeObjectPtr& trust,
      std::function<void(bool result, const std::optional<pigeon::PigeonError>& error)> completion)
      override;
  std::optional<platform::Bytes>
  copyExceptions(PigeonApiSecTrust& pigeonApi,
                 const platform::webkit::NativeObjectPtr& trust) override;
  bool setExceptions(PigeonApiSecTrust& pigeonApi, const platform::webkit::NativeObjectPtr& trust,
                     const std::optional<platform::Bytes>& exceptions) override;
  platform::webkit::NativeObjectPtr
  getTrustResult(PigeonApiSecTrust& pigeonApi,
                 const platform::webkit::NativeObjectPtr& trust) override;
  // From system version 12.0 the chain as one array (none stays none, empty stays empty);
  // before it, by count and index, where a count of 0 or less gives none.
  std::optional<platform::ValueList>
  copyCertificateChain(PigeonApiSecTrust& pigeonApi,
                       const platform::webkit::NativeObjectPtr& trust) override;

  // The platform's functions. secTrustEvaluateWithError runs on the evaluation worker.
  virtual bool secTrustEvaluateWithError(const platform::SecTrustPtr& trust,
                                         platform::ErrorPtr* error);
  virtual std::optional<platform::Bytes> secTrustCopyExceptions(const platform::SecTrustPtr& trust);
  virtual bool secTrustSetExceptions(const platform::SecTrustPtr& trust,
                                     const std::optional<platform::Bytes>& exceptions);
  virtual platform::OSStatus secTrustGetTrustResult(const platform::SecTrustPtr& trust,
                                                    platform::SecTrustResultType* result);
  virtual std::optional<std::vector<platform::SecCertificatePtr>>
  secTrustCopyCertificateChain(const platform::SecTrustPtr& trust);
  virtual std::int64_t secTrustGetCertificateCount(const platform::SecTrustPtr& trust);
  virtual platform::SecCertificatePtr
  secTrustGetCertificateAtIndex(const platform::SecTrustPtr& trust, std::int64_t index);
};

class SecCertificateProxyAPIDelegate : public PigeonApiDelegateSecCertificate {
 public:
  platform::Bytes copyData(PigeonApiSecCertificate& pigeonApi,
                           const platform::webkit::NativeObjectPtr& certificate) override;
  virtual platform::Bytes secCertificateCopyData(const platform::SecCertificatePtr& certificate);
};

class GetTrustResultResponseProxyAPIDelegate : public PigeonApiDelegateGetTrustResultResponse {
 public:
  DartSecTrustResultType result(PigeonApiGetTrustResultResponse& pigeonApi,
                                const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::int64_t resultCode(PigeonApiGetTrustResultResponse& pigeonApi,
                          const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

}  // namespace webview
