#include "platform/foundation/regular_expression.h"

#include <unicode/uregex.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include <limits>
#include <optional>

namespace platform {
namespace {

// ICU's time limit counts blocks of steps of its matching engine, roughly milliseconds; the
// stack limit is bytes of backtracking state.
constexpr int32_t kTimeLimit = 50;
constexpr int32_t kStackLimit = 1 << 20;

struct Closer {
  void operator()(URegularExpression* re) const { uregex_close(re); }
};
using Handle = std::unique_ptr<URegularExpression, Closer>;

std::optional<std::u16string> utf16(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 2))
    return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), length, nullptr, text.data(), static_cast<int32_t>(text.size()),
                &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

}  // namespace

struct RegularExpression::Compiled {
  Handle handle;
};

RegularExpression::RegularExpression(std::string pattern, std::unique_ptr<Compiled> compiled)
    : pattern_(std::move(pattern)), compiled_(std::move(compiled)) {}

RegularExpression::~RegularExpression() = default;

std::shared_ptr<const RegularExpression> RegularExpression::make(std::string_view pattern,
                                                                 std::string* error) {
  const auto text = utf16(pattern);
  if (!text) {
    if (error) *error = "pattern is not valid UTF-8";
    return nullptr;
  }
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  Handle handle(
      uregex_open(text->data(), static_cast<int32_t>(text->size()), 0, &parseError, &status));
  if (U_FAILURE(status)) {
    if (error) *error = u_errorName(status);
    return nullptr;
  }
  auto compiled = std::make_unique<Compiled>();
  compiled->handle = std::move(handle);
  return std::shared_ptr<const RegularExpression>(
      new RegularExpression(std::string(pattern), std::move(compiled)));
}

bool RegularExpression::findsMatchIn(std::string_view text) const {
  const auto subject = utf16(text);
  if (!subject) return false;
  UErrorCode status = U_ZERO_ERROR;
  // A compiled expression keeps its search state: each search gets its own clone.
  Handle search(uregex_clone(compiled_->handle.get(), &status));
  // A clone starts without limits of its own.
  if (U_SUCCESS(status)) uregex_setTimeLimit(search.get(), kTimeLimit, &status);
  if (U_SUCCESS(status)) uregex_setStackLimit(search.get(), kStackLimit, &status);
  if (U_FAILURE(status)) return false;
  uregex_setText(search.get(), subject->data(), static_cast<int32_t>(subject->size()), &status);
  const bool found = U_SUCCESS(status) && uregex_findNext(search.get(), &status);
  return found && U_SUCCESS(status);
}

}  // namespace platform
