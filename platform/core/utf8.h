// UTF-8 validation shared by everything that must tell text from bytes (SQLite text columns,
// JSON strings, wire-message strings). Stateless; any thread.
#pragma once

#include <string_view>

namespace platform {

// True when `text` is well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF. The empty text is valid.
bool isValidUtf8(std::string_view text);

}  // namespace platform
