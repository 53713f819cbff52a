#include "zevevidi/utilities/gul_gzip.h"

#include <zlib.h>

#include <algorithm>
#include <string>

namespace {

constexpr std::size_t kChunkSize = 1024;
constexpr std::uint64_t kMaxInputLength = 0xFFFFFFFFull;  // zlib's avail_in is 32 bits wide
// The initial reservation is only a hint; never reserve more than this up front, so a large
// input cannot make the hint itself fail.
constexpr std::size_t kMaxReservation = 16u << 20;

void setError(platform::ErrorPtr* out, std::int64_t code, platform::ValueMap info = {}) {
  if (out) *out = platform::Error::make(kGULNSDataZlibErrorDomain, code, std::move(info));
}

platform::ValueMap zlibStatusInfo(int status, const char* message) {
  platform::ValueMap info;
  info.emplace(platform::Value(kGULNSDataZlibErrorKey), platform::Value(status));
  if (message && *message) {
    info.emplace(platform::Value(platform::kLocalizedDescriptionKey), platform::Value(message));
  }
  return info;
}

}  // namespace

std::optional<platform::Bytes> GULGzip::gul_dataByGzippingData(std::span<const std::uint8_t> data,
                                                               platform::ErrorPtr* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > kMaxInputLength) {
    setError(error, GULNSDataZlibErrorGreaterThan32BitsToCompress);
    return std::nullopt;
  }

  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  // Window bits 31: a 32 KiB window with the gzip wrapper.
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    setError(error, GULNSDataZlibErrorInternal, zlibStatusInfo(status, nullptr));
    return std::nullopt;
  }

  platform::Bytes out;
  out.reserve(std::min(data.size() / 4, kMaxReservation));
  std::uint8_t chunk[kChunkSize];
  do {
    stream.next_out = chunk;
    stream.avail_out = kChunkSize;
    status = deflate(&stream, Z_FINISH);
    if (status != Z_OK && status != Z_STREAM_END) {
      deflateEnd(&stream);
      setError(error, GULNSDataZlibErrorInternal, zlibStatusInfo(status, nullptr));
      return std::nullopt;
    }
    out.insert(out.end(), chunk, chunk + (kChunkSize - stream.avail_out));
  } while (status == Z_OK);

  deflateEnd(&stream);
  return out;
}

std::optional<platform::Bytes>
GULGzip::gul_dataByInflatingGzippedData(std::span<const std::uint8_t> data,
                                        platform::ErrorPtr* error, std::size_t maxLength) {
  if (data.empty() || data.size() > kMaxInputLength) return std::nullopt;

  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  // Window bits 47: a 32 KiB window, zlib or gzip header detected from the data.
  int status = inflateInit2(&stream, 47);
  if (status != Z_OK) {
    setError(error, GULNSDataZlibErrorInternal, zlibStatusInfo(status, stream.msg));
    return std::nullopt;
  }

  platform::Bytes out;
  out.reserve(std::min({data.size(), kMaxReservation / 4, maxLength / 4}) * 4);
  std::uint8_t chunk[kChunkSize];
  do {
    stream.next_out = chunk;
    stream.avail_out = kChunkSize;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      setError(error, GULNSDataZlibErrorInternal, zlibStatusInfo(status, stream.msg));
      inflateEnd(&stream);
      return std::nullopt;
    }
    const std::size_t produced = kChunkSize - stream.avail_out;
    if (produced > maxLength - out.size()) {
      inflateEnd(&stream);
      setError(error, GULNSDataZlibErrorInternal,
               zlibStatusInfo(Z_BUF_ERROR, ("inflated data exceeds the limit of " +
                                            std::to_string(maxLength) + " bytes")
                                               .c_str()));
      return std::nullopt;
    }
    out.insert(out.end(), chunk, chunk + produced);
  } while (status == Z_OK);

  const uInt remaining = stream.avail_in;
  inflateEnd(&stream);
  if (remaining != 0) {
    platform::ValueMap info;
    info.emplace(platform::Value(kGULNSDataZlibRemainingBytesKey),
                 platform::Value(static_cast<std::int64_t>(remaining)));
    setError(error, GULNSDataZlibErrorDataRemaining, std::move(info));
    return std::nullopt;
  }
  return out;
}
