#include "plugins/webview_flutter_wkwebview/trust_proxy_api_delegates.h"

#include <exception>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/process_info.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"

namespace webview {

using ObjectPtr = platform::webkit::NativeObjectPtr;
using platform::Value;

namespace {

const platform::SecTrustPtr& trustOf(const ObjectPtr& wrapper) {
  const auto& trust = nativeAs<SecTrustWrapper>(wrapper).value;
  if (!trust) throw pigeon::ArgumentError("a SecTrustWrapper that wraps no trust");
  return trust;
}

Value wrapped(const platform::SecCertificatePtr& certificate) {
  return Value(platform::ObjectPtr(std::make_shared<SecCertificateWrapper>(certificate)));
}

}  // namespace

DartSecTrustResultType dartTrustResult(platform::SecTrustResultType result) {
  switch (result) {
  case platform::kSecTrustResultInvalid:
    return DartSecTrustResultType::invalid;
  case platform::kSecTrustResultProceed:
    return DartSecTrustResultType::proceed;
  case platform::kSecTrustResultConfirm:
    return DartSecTrustResultType::confirm;
  case platform::kSecTrustResultDeny:
    return DartSecTrustResultType::deny;
  case platform::kSecTrustResultUnspecified:
    return DartSecTrustResultType::unspecified;
  case platform::kSecTrustResultRecoverableTrustFailure:
    return DartSecTrustResultType::recoverableTrustFailure;
  case platform::kSecTrustResultFatalTrustFailure:
    return DartSecTrustResultType::fatalTrustFailure;
  case platform::kSecTrustResultOtherError:
    return DartSecTrustResultType::otherError;
  default:
    return DartSecTrustResultType::unknown;
  }
}

void SecTrustProxyAPIDelegate::evaluateWithError(
    PigeonApiSecTrust& /*pigeonApi*/, const ObjectPtr& trust,
    std::function<void(bool result, const std::optional<pigeon::PigeonError>& error)> completion) {
  auto value = trustOf(trust);
  auto self = shared_from_this();
  platform::globalQueue(platform::QueuePriority::Default)
      ->async([self, value, completion = std::move(completion)]() mutable {
        bool trusted = false;
        std::optional<pigeon::PigeonError> failure;
        try {
          platform::ErrorPtr error;
          trusted = self->secTrustEvaluateWithError(value, &error);
          if (error) failure = pigeon::PigeonError(error->domain, error->localizedDescription());
        } catch (const std::exception& e) {
          // Nothing leaves the worker as an exception: the caller hears of it instead.
          failure = pigeon::PigeonError("evaluation-failed", std::string(e.what()));
        }
        platform::mainQueue()->async(
            [trusted, failure = std::move(failure), completion = std::move(completion)] {
              completion(trusted, failure);
            });
      });
}

std::optional<platform::Bytes>
SecTrustProxyAPIDelegate::copyExceptions(PigeonApiSecTrust& /*pigeonApi*/, const ObjectPtr& trust) {
  return secTrustCopyExceptions(trustOf(trust));
}

bool SecTrustProxyAPIDelegate::setExceptions(PigeonApiSecTrust& /*pigeonApi*/,
                                             const ObjectPtr& trust,
                                             const std::optional<platform::Bytes>& exceptions) {
  return secTrustSetExceptions(trustOf(trust), exceptions);
}

ObjectPtr SecTrustProxyAPIDelegate::getTrustResult(PigeonApiSecTrust& /*pigeonApi*/,
                                                   const ObjectPtr& trust) {
  platform::SecTrustResultType result = 0;
  const platform::OSStatus status = secTrustGetTrustResult(trustOf(trust), &result);
  return std::make_shared<GetTrustResultResponse>(result, status);
}

std::optional<platform::ValueList>
SecTrustProxyAPIDelegate::copyCertificateChain(PigeonApiSecTrust& /*pigeonApi*/,
                                               const ObjectPtr& trust) {
  const auto& value = trustOf(trust);
  platform::ValueList out;
  if (platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({12, 0, 0})) {
    auto chain = secTrustCopyCertificateChain(value);
    if (!chain) return std::nullopt;
    for (const auto& certificate : *chain) {
      // An absent element is no certificate to hand out.
      if (certificate) out.push_back(wrapped(certificate));
    }
    return out;
  }
  const std::int64_t count = secTrustGetCertificateCount(value);
  if (count <= 0) return std::nullopt;
  for (std::int64_t index = 0; index < count; ++index) {
    if (auto certificate = secTrustGetCertificateAtIndex(value, index))
      out.push_back(wrapped(certificate));
  }
  return out;
}

bool SecTrustProxyAPIDelegate::secTrustEvaluateWithError(const platform::SecTrustPtr& trust,
                                                         platform::ErrorPtr* error) {
  return trust->evaluateWithError(error);
}

std::optional<platform::Bytes>
SecTrustProxyAPIDelegate::secTrustCopyExceptions(const platform::SecTrustPtr& trust) {
  return trust->copyExceptions();
}

bool SecTrustProxyAPIDelegate::secTrustSetExceptions(
    const platform::SecTrustPtr& trust, const std::optional<platform::Bytes>& exceptions) {
  return trust->setExceptions(exceptions);
}

platform::OSStatus
SecTrustProxyAPIDelegate::secTrustGetTrustResult(const platform::SecTrustPtr& trust,
                                                 platform::SecTrustResultType* result) {
  return trust->getTrustResult(result);
}

std::optional<std::vector<platform::SecCertificatePtr>>
SecTrustProxyAPIDelegate::secTrustCopyCertificateChain(const platform::SecTrustPtr& trust) {
  return trust->copyCertificateChain();
}

std::int64_t
SecTrustProxyAPIDelegate::secTrustGetCertificateCount(const platform::SecTrustPtr& trust) {
  return trust->getCertificateCount();
}

platform::SecCertificatePtr
SecTrustProxyAPIDelegate::secTrustGetCertificateAtIndex(const platform::SecTrustPtr& trust,
                                                        std::int64_t index) {
  return trust->getCertificateAtIndex(index);
}

platform::Bytes SecCertificateProxyAPIDelegate::copyData(PigeonApiSecCertificate& /*pigeonApi*/,
                                                         const ObjectPtr& certificate) {
  const auto& value = nativeAs<SecCertificateWrapper>(certificate).value;
  if (!value) throw pigeon::ArgumentError("a SecCertificateWrapper that wraps no certificate");
  return secCertificateCopyData(value);
}

platform::Bytes SecCertificateProxyAPIDelegate::secCertificateCopyData(
    const platform::SecCertificatePtr& certificate) {
  return certificate->data();
}

DartSecTrustResultType
GetTrustResultResponseProxyAPIDelegate::result(PigeonApiGetTrustResultResponse& /*pigeonApi*/,
                                               const ObjectPtr& pigeonInstance) {
  return dartTrustResult(nativeAs<GetTrustResultResponse>(pigeonInstance).result);
}

std::int64_t
GetTrustResultResponseProxyAPIDelegate::resultCode(PigeonApiGetTrustResultResponse& /*pigeonApi*/,
                                                   const ObjectPtr& pigeonInstance) {
  return nativeAs<GetTrustResultResponse>(pigeonInstance).resultCode;
}

}  // namespace webview
