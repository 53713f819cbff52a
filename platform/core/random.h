// Random numbers. secureRandomBytes always reads the kernel's generator (keys, tokens). The
// other functions draw from the process random source: the kernel generator too, unless a test
// installs a ScopedSeededRandom, which makes every draw (and every UUID) repeatable.
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/core/value.h"

namespace platform {

// Fills `data` from the kernel's cryptographic generator (getrandom). Never returns short.
void secureRandomFill(void* data, std::size_t size);
Bytes secureRandomBytes(std::size_t size);

// A source of random 64-bit words.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual std::uint64_t next() = 0;
};

// Draws from the process random source.
std::uint64_t random64();
std::uint32_t random32();
// Uniform in [0, bound), without modulo bias; 0 when bound is 0.
std::uint32_t randomUniform(std::uint32_t bound);
// Uniform in [0, 1).
double randomUnit();
void randomFill(void* data, std::size_t size);
Bytes randomBytes(std::size_t size);

// Replaces the process random source with a deterministic one (seeded with `seed`) while it
// lives. Scopes nest; the innermost wins.
class ScopedSeededRandom {
 public:
  explicit ScopedSeededRandom(std::uint64_t seed);
  ~ScopedSeededRandom();
  ScopedSeededRandom(const ScopedSeededRandom&) = delete;
  ScopedSeededRandom& operator=(const ScopedSeededRandom&) = delete;

 private:
  std::unique_ptr<RandomSource> source_;
  RandomSource* previous_;
};

}  // namespace platform
