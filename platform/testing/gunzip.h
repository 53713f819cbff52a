// Test helper: inflates a gzip stream with zlib alone, so a test reading what the code under test
// compressed does not lean on that code's own inflater. Users link zlib.
#pragma once

#include <zlib.h>

#include <optional>
#include <string>

namespace platform::testing {

// The inflated bytes of one complete gzip stream, or none for anything else (zlib-wrapped or raw
// data, a damaged or cut stream).
inline std::optional<std::string> gunzip(const std::string& data) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[16384];
  int code = Z_OK;
  while (code == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    code = inflate(&stream, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END) break;
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  if (code != Z_STREAM_END) return std::nullopt;
  return out;
}

}  // namespace platform::testing
