// Gzip compression and gzip/zlib inflation of byte buffers, over zlib. Request bodies of the
// network client, the heartbeat header and the measurement side's stored and downloaded data go
// through these two calls. Stateless and callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/core/error.h"
#include "platform/core/value.h"

inline constexpr const char* kGULNSDataZlibErrorDomain = "com.ziriza.GULNSDataZlibErrorDomain";
inline constexpr const char* kGULNSDataZlibErrorKey = "GULNSDataZlibErrorKey";
inline constexpr const char* kGULNSDataZlibRemainingBytesKey = "GULNSDataZlibRemainingBytesKey";

enum GULNSDataZlibError : std::int64_t {
  // The input is 4 GiB or larger; zlib's length fields cannot describe it.
  GULNSDataZlibErrorGreaterThan32BitsToCompress = 1024,
  // zlib reported an error; the user info carries its status.
  GULNSDataZlibErrorInternal = 1025,
  // The compressed stream ended before the input did.
  GULNSDataZlibErrorDataRemaining = 1026,
};

// Inflation stops and fails past this many output bytes unless the caller sets its own limit: a
// few kilobytes of hostile input could otherwise expand to gigabytes.
inline constexpr std::size_t kGULInflatedDataMaxLength = std::size_t{64} << 20;

class GULGzip {
 public:
  // Compresses `data` into the gzip format. Empty input gives no data and no error. On failure
  // returns no data and, when `error` is not null, stores the reason there.
  static std::optional<platform::Bytes> gul_dataByGzippingData(std::span<const std::uint8_t> data,
                                                               platform::ErrorPtr* error);

  // Inflates gzip- or zlib-wrapped `data` (the header decides). Empty input gives no data and
  // no error; a stream followed by extra bytes is refused with the count of extra bytes. A stream
  // that inflates to more than `maxLength` bytes is refused as an internal zlib error with the
  // status Z_BUF_ERROR (no room for the output) and a description naming the limit.
  static std::optional<platform::Bytes>
  gul_dataByInflatingGzippedData(std::span<const std::uint8_t> data, platform::ErrorPtr* error,
                                 std::size_t maxLength = kGULInflatedDataMaxLength);
};
