// How a database operation reads its input and gives its result. SqfliteMethodCallOperation
// wraps one channel call and its reply; SqfliteBatchOperation one entry of a "batch" call, whose
// result or error the batch collects. Operations are created on the main thread and then used
// only on their database's serial queue; held by shared pointer because a parked operation
// outlives the call that parked it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/core/value.h"

namespace sqflite {

// Argument keys and fixed values of the SQLite channel.
inline constexpr const char* SqfliteParamSql = "sql";
inline constexpr const char* SqfliteParamSqlArguments = "arguments";
inline constexpr const char* SqfliteParamInTransactionChange = "inTransaction";
inline constexpr const char* SqfliteParamTransactionId = "transactionId";
inline constexpr const char* SqfliteParamNoResult = "noResult";
inline constexpr const char* SqfliteParamContinueOnError = "continueOnError";
inline constexpr const char* SqfliteParamMethod = "method";
inline constexpr const char* SqfliteParamResult = "result";
inline constexpr const char* SqfliteParamError = "error";
inline constexpr const char* SqfliteParamErrorCode = "code";
inline constexpr const char* SqfliteParamErrorMessage = "message";
inline constexpr const char* SqfliteParamErrorData = "data";
inline constexpr const char* SqfliteMethodInsert = "insert";
inline constexpr const char* SqfliteMethodUpdate = "update";
inline constexpr const char* SqfliteMethodExecute = "execute";
inline constexpr const char* SqfliteMethodQuery = "query";
inline constexpr const char* SqliteErrorCode = "sqlite_error";
inline constexpr const char* SqfliteErrorBadParam = "bad_param";
// Malformed channel input (a key missing or of the wrong kind).
inline constexpr const char* SqfliteErrorInvalidArguments = "invalid-arguments";

// An error reply: code, optional message, details (null when none).
struct SqfliteError {
  std::string code;
  std::optional<std::string> message;
  platform::Value details;
};

// What a call replies: a value, or an error.
using SqfliteResult = std::variant<platform::Value, SqfliteError>;
using SqfliteResultCallback = std::function<void(SqfliteResult)>;

SqfliteError invalidArgumentError(const std::string& key, const std::string& method);

// Converts one channel value into what is bound to SQLite; fails (returns none) for a list
// element that is not a number.
std::optional<platform::Value> toSqlValue(const platform::Value& value);
// The converted "arguments" of a statement. Refers to the caller's own list when no element
// needs converting (the common case), so the list must outlive it.
class SqlArguments {
 public:
  SqlArguments() = default;
  explicit SqlArguments(const platform::ValueList* original) : original_(original) {}
  explicit SqlArguments(platform::ValueList converted) : converted_(std::move(converted)) {}
  const platform::ValueList& list() const;

 private:
  const platform::ValueList* original_ = nullptr;
  std::optional<platform::ValueList> converted_;
};

// Converts the "arguments" value: absent, null or empty gives an empty list. Fails (none) when
// it is not a list or holds an unconvertible element.
std::optional<SqlArguments> toSqlArguments(const platform::Value* arguments);

class SqfliteOperation {
 public:
  virtual ~SqfliteOperation() = default;
  virtual std::string getMethod() const { return {}; }
  virtual const platform::Value* getArgument(std::string_view key) const {
    (void)key;
    return nullptr;
  }
  virtual bool hasArgument(std::string_view key) const { return getArgument(key) != nullptr; }
  virtual bool getNoResult() const { return false; }
  virtual bool getContinueOnError() const { return false; }
  virtual void success(platform::Value value) = 0;
  virtual void error(SqfliteError error) = 0;

  // The "sql" argument when it is a string (points into the operation's arguments).
  const std::string* getSql() const;
  // The "arguments" argument converted; none when malformed.
  std::optional<SqlArguments> getSqlArguments() const;
  // The "transactionId" argument when it is an integer (null or absent: none).
  std::optional<std::int64_t> getTransactionId() const;
  // The "inTransaction" argument when it is a boolean.
  std::optional<bool> getInTransactionChange() const;
  // True only when "transactionId" is present with a null value.
  bool hasNullTransactionId() const;
  // The boolean value of a key; absent (or not a boolean) counts as false.
  bool getBoolArgument(std::string_view key) const;
};
using SqfliteOperationPtr = std::shared_ptr<SqfliteOperation>;

class SqfliteMethodCallOperation : public SqfliteOperation {
 public:
  static std::shared_ptr<SqfliteMethodCallOperation>
  newWithCall(std::string method, platform::Value arguments, SqfliteResultCallback result);
  std::string getMethod() const override { return method_; }
  const platform::Value* getArgument(std::string_view key) const override;
  bool getNoResult() const override { return getBoolArgument(SqfliteParamNoResult); }
  bool getContinueOnError() const override { return getBoolArgument(SqfliteParamContinueOnError); }
  void success(platform::Value value) override;
  void error(SqfliteError error) override;

 private:
  std::string method_;
  platform::Value arguments_;
  SqfliteResultCallback result_;
};

// Looks its arguments up in the entry's own map, which stays in the batch call's arguments: a
// batch of thousands of entries is neither copied nor taken apart.
class SqfliteBatchOperation : public SqfliteOperation {
 public:
  // `entry` must outlive the operation; the batch call owns it.
  SqfliteBatchOperation(const platform::Value& entry, bool noResult)
      : entry_(&entry), noResult_(noResult) {}
  std::string getMethod() const override;
  // The entry's "method" when it is a string, without a copy.
  const std::string* method() const;
  const platform::Value* getArgument(std::string_view key) const override;
  bool getNoResult() const override { return noResult_; }
  void success(platform::Value value) override { results_ = std::move(value); }
  void error(SqfliteError error) override { error_ = std::move(error); }

  const platform::Value& results() const { return results_; }
  platform::Value takeResults() { return std::move(results_); }
  const std::optional<SqfliteError>& errorRecord() const { return error_; }

 private:
  const platform::Value* entry_;
  bool noResult_;
  platform::Value results_;
  std::optional<SqfliteError> error_;
};

}  // namespace sqflite
