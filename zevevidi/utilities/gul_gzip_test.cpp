#include "zevevidi/utilities/gul_gzip.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

using platform::Bytes;
using platform::ErrorPtr;
using platform::Value;

Bytes bytesOf(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out)
    b = static_cast<std::uint8_t>(rng());
  return out;
}

Bytes zlibWrapped(const Bytes& input) {
  uLongf size = compressBound(input.size());
  Bytes out(size);
  EXPECT_EQ(compress(out.data(), &size, input.data(), input.size()), Z_OK);
  out.resize(size);
  return out;
}

ErrorPtr sentinel() {
  return platform::Error::make("untouched", 0);
}

TEST(GULGzipTest, RoundTripsAcrossChunkBoundaries) {
  const std::vector<Bytes> inputs = {
      bytesOf("abc"),         Bytes(1, 0),
      Bytes(100000, 'x'),    // compresses into less than one chunk
      randomBytes(5000, 1),  // incompressible: several 1024-byte output chunks
      randomBytes(300000, 2),
  };
  for (const auto& input : inputs) {
    ErrorPtr error = sentinel();
    auto compressed = GULGzip::gul_dataByGzippingData(input, &error);
    ASSERT_TRUE(compressed.has_value()) << input.size();
    ASSERT_GE(compressed->size(), 2u);
    EXPECT_EQ((*compressed)[0], 0x1f);
    EXPECT_EQ((*compressed)[1], 0x8b);
    auto inflated = GULGzip::gul_dataByInflatingGzippedData(*compressed, &error);
    ASSERT_TRUE(inflated.has_value()) << input.size();
    EXPECT_EQ(*inflated, input);
    EXPECT_EQ(error->domain, "untouched");
  }
}

TEST(GULGzipTest, OutputDecompressesWithTheSystemGzipTool) {
  const Bytes input = randomBytes(70000, 3);
  auto compressed = GULGzip::gul_dataByGzippingData(input, nullptr);
  ASSERT_TRUE(compressed.has_value());

  auto dir =
      std::filesystem::temp_directory_path() / ("gul_gzip_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto file = dir / "payload.gz";
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(compressed->data()), compressed->size());

  std::string command = "gzip -dc '" + file.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  Bytes decompressed;
  std::uint8_t buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    decompressed.insert(decompressed.end(), buffer, buffer + n);
  }
  EXPECT_EQ(::pclose(pipe), 0);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(decompressed, input);
}

TEST(GULGzipTest, InflatesZlibWrappedData) {
  const Bytes input = bytesOf("zlib-wrapped payload, zlib-wrapped payload, zlib-wrapped payload");
  const Bytes wrapped = zlibWrapped(input);
  ASSERT_EQ(wrapped[0], 0x78);
  ASSERT_EQ(wrapped[1], 0x9c);
  auto inflated = GULGzip::gul_dataByInflatingGzippedData(wrapped, nullptr);
  ASSERT_TRUE(inflated.has_value());
  EXPECT_EQ(*inflated, input);
}

TEST(GULGzipTest, TrailingBytesAreRefusedWithTheirCount) {
  auto compressed = GULGzip::gul_dataByGzippingData(bytesOf("abc"), nullptr);
  ASSERT_TRUE(compressed.has_value());
  // A second gzip member counts as trailing bytes too: only one stream is inflated.
  auto second = *GULGzip::gul_dataByGzippingData(bytesOf("def"), nullptr);
  const std::vector<Bytes> tails = {bytesOf("\x01"), bytesOf("junk!"), second};
  for (const auto& tail : tails) {
    Bytes input = *compressed;
    input.insert(input.end(), tail.begin(), tail.end());
    ErrorPtr error;
    EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(input, &error).has_value());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "com.ziriza.GULNSDataZlibErrorDomain");
    EXPECT_EQ(error->code, 1026);
    auto remaining = error->userInfo.find(Value("GULNSDataZlibRemainingBytesKey"));
    ASSERT_NE(remaining, error->userInfo.end());
    EXPECT_EQ(remaining->second, Value(static_cast<std::int64_t>(tail.size())));
  }
}

TEST(GULGzipTest, BrokenStreamsReportTheZlibStatus) {
  auto compressed = *GULGzip::gul_dataByGzippingData(randomBytes(4000, 4), nullptr);
  Bytes truncated(compressed.begin(), compressed.begin() + compressed.size() / 2);
  Bytes corrupt = bytesOf("this is not compressed at all");

  ErrorPtr error;
  EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(truncated, &error).has_value());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 1025);
  EXPECT_EQ(error->userInfo.at(Value("GULNSDataZlibErrorKey")), Value(Z_BUF_ERROR));

  error.reset();
  EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(corrupt, &error).has_value());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 1025);
  EXPECT_EQ(error->userInfo.at(Value("GULNSDataZlibErrorKey")), Value(Z_DATA_ERROR));
  // zlib explains a data error; the explanation travels as the description.
  EXPECT_FALSE(error->userInfo.at(Value(platform::kLocalizedDescriptionKey)).asString().empty());

  // Without an error slot the failure is still reported by the missing result.
  EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(corrupt, nullptr).has_value());
}

TEST(GULGzipTest, InflationStopsAtItsOutputLimit) {
  const Bytes original(100000, 'z');
  const auto gzipped = *GULGzip::gul_dataByGzippingData(original, nullptr);
  const Bytes zlib = zlibWrapped(original);
  for (const Bytes* input : {&gzipped, &zlib}) {
    ErrorPtr error = sentinel();
    auto exact = GULGzip::gul_dataByInflatingGzippedData(*input, &error, original.size());
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(*exact, original);
    EXPECT_EQ(error->domain, "untouched");

    EXPECT_FALSE(
        GULGzip::gul_dataByInflatingGzippedData(*input, &error, original.size() - 1).has_value());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1025);
    EXPECT_EQ(error->userInfo.at(Value("GULNSDataZlibErrorKey")), Value(Z_BUF_ERROR));
    EXPECT_EQ(error->userInfo.at(Value(platform::kLocalizedDescriptionKey)),
              Value("inflated data exceeds the limit of 99999 bytes"));
  }
  // The default limit holds too: 65 MiB of zeros is about 64 KiB of gzip.
  const auto bomb =
      *GULGzip::gul_dataByGzippingData(Bytes(kGULInflatedDataMaxLength + 1, 0), nullptr);
  ASSERT_LT(bomb.size(), 1u << 20);
  ErrorPtr error;
  EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(bomb, &error).has_value());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->userInfo.at(Value("GULNSDataZlibErrorKey")), Value(Z_BUF_ERROR));
}

TEST(GULGzipTest, EmptyInputGivesNothingAndNoError) {
  ErrorPtr error = sentinel();
  EXPECT_FALSE(GULGzip::gul_dataByGzippingData(Bytes{}, &error).has_value());
  EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(Bytes{}, &error).has_value());
  EXPECT_EQ(error->domain, "untouched");
}

TEST(GULGzipTest, InputOf4GiBIsRefusedBeforeItIsRead) {
  // Reserve address space only: neither call may touch the bytes of an input this large.
  const std::size_t size = std::size_t{1} << 32;
  void* base = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  std::span<const std::uint8_t> huge(static_cast<const std::uint8_t*>(base), size);

  ErrorPtr error;
  EXPECT_FALSE(GULGzip::gul_dataByGzippingData(huge, &error).has_value());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 1024);
  EXPECT_TRUE(error->userInfo.empty());

  error = sentinel();
  EXPECT_FALSE(GULGzip::gul_dataByInflatingGzippedData(huge, &error).has_value());
  EXPECT_EQ(error->domain, "untouched");
  ::munmap(base, size);
}

}  // namespace
