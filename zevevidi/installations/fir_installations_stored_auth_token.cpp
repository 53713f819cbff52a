#include "zevevidi/installations/fir_installations_stored_auth_token.h"

#include "zevevidi/installations/fir_installations_logger.h"

namespace {
constexpr const char* kStatusKey = "status";
constexpr const char* kTokenKey = "token";
constexpr const char* kExpirationDateKey = "expirationDate";
constexpr const char* kStorageVersionKey = "storageVersion";
}  // namespace

FIRInstallationsStoredAuthToken::FIRInstallationsStoredAuthToken(
    std::int64_t status, std::optional<std::string> token,
    std::optional<platform::Date> expirationDate)
    : status_(status), token_(std::move(token)), expirationDate_(expirationDate) {}

std::optional<std::string> FIRInstallationsStoredAuthToken::token() const {
  std::lock_guard lock(mutex_);
  return token_;
}

void FIRInstallationsStoredAuthToken::setToken(std::optional<std::string> token) {
  std::lock_guard lock(mutex_);
  token_ = std::move(token);
}

std::optional<platform::Date> FIRInstallationsStoredAuthToken::expirationDate() const {
  std::lock_guard lock(mutex_);
  return expirationDate_;
}

void FIRInstallationsStoredAuthToken::setExpirationDate(std::optional<platform::Date> date) {
  std::lock_guard lock(mutex_);
  expirationDate_ = date;
}

std::shared_ptr<FIRInstallationsStoredAuthToken> FIRInstallationsStoredAuthToken::copy() const {
  return std::make_shared<FIRInstallationsStoredAuthToken>(status_, token(), expirationDate());
}

void FIRInstallationsStoredAuthToken::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeInteger(status_, kStatusKey);
  std::lock_guard lock(mutex_);
  if (token_) coder.encodeObject(platform::Value(*token_), kTokenKey);
  if (expirationDate_) coder.encodeObject(platform::Value(*expirationDate_), kExpirationDateKey);
  coder.encodeInteger(kStorageVersion, kStorageVersionKey);
}

platform::Value FIRInstallationsStoredAuthToken::contents() const {
  std::lock_guard lock(mutex_);
  return platform::Value::list(
      {platform::Value(status_), token_ ? platform::Value(*token_) : platform::Value(),
       expirationDate_ ? platform::Value(*expirationDate_) : platform::Value()});
}

bool FIRInstallationsStoredAuthToken::isEqual(const platform::Object& other) const {
  const auto* token = dynamic_cast<const FIRInstallationsStoredAuthToken*>(&other);
  if (!token) return false;
  if (token == this) return true;
  return contents() == token->contents();
}

std::strong_ordering
FIRInstallationsStoredAuthToken::compareObject(const platform::Object& other) const {
  const auto* token = dynamic_cast<const FIRInstallationsStoredAuthToken*>(&other);
  if (!token) return platform::Object::compareObject(other);
  if (token == this) return std::strong_ordering::equal;
  return contents() <=> token->contents();
}

std::size_t FIRInstallationsStoredAuthToken::hash() const {
  return contents().hash();
}

platform::ArchiveClass FIRInstallationsStoredAuthToken::archiveClass() {
  return {
      kClassName, [](platform::KeyedUnarchiver& coder) -> platform::ObjectPtr {
        const std::int64_t version = coder.decodeIntegerForKey(kStorageVersionKey);
        if (version > kStorageVersion) {
          FIRLogWarning(kFIRLoggerInstallations,
                        kFIRInstallationsMessageCodeAuthTokenCoderVersionMismatch,
                        "FIRInstallationsStoredAuthToken was encoded by a newer coder version "
                        "%lld. Current coder version is %lld. Some auth token data may be "
                        "lost.",
                        static_cast<long long>(version), static_cast<long long>(kStorageVersion));
        }
        const std::int64_t status = coder.decodeIntegerForKey(kStatusKey);
        auto token = coder.decodeStringForKey(kTokenKey);
        auto date = coder.decodeDateForKey(kExpirationDateKey);
        if (coder.error()) return nullptr;
        return std::make_shared<FIRInstallationsStoredAuthToken>(status, std::move(token), date);
      }};
}
