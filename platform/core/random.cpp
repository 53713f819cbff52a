#include "platform/core/random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

bool readUrandom(std::uint8_t* out, std::size_t size) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (size > 0) {
    ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

// xoshiro256** seeded through splitmix64: fast, well distributed, and repeatable.
class SeededSource final : public RandomSource {
 public:
  explicit SeededSource(std::uint64_t seed) {
    for (auto& word : s_) {
      seed += 0x9E3779B97F4A7C15ull;
      std::uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      word = z ^ (z >> 31);
    }
  }
  std::uint64_t next() override {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
};

std::mutex& sourceMutex() {
  static std::mutex m;
  return m;
}
// Null: the kernel. (No object stands for the kernel: threads still drawing numbers while the
// process exits must not meet one already destroyed.)
RandomSource* g_current = nullptr;

}  // namespace

void secureRandomFill(void* data, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (readUrandom(out, size)) return;
      // Handing out predictable bytes as secure ones would be worse than stopping.
      std::fprintf(stderr, "no kernel random source available: %s\n", std::strerror(errno));
      std::abort();
    }
    out += n;
    size -= static_cast<std::size_t>(n);
  }
}

Bytes secureRandomBytes(std::size_t size) {
  Bytes out(size);
  if (size) secureRandomFill(out.data(), size);
  return out;
}

std::uint64_t random64() {
  std::lock_guard<std::mutex> guard(sourceMutex());
  if (g_current) return g_current->next();
  std::uint64_t v;
  secureRandomFill(&v, sizeof v);
  return v;
}

std::uint32_t random32() {
  return static_cast<std::uint32_t>(random64() >> 32);
}

std::uint32_t randomUniform(std::uint32_t bound) {
  if (bound < 2) return 0;
  // Reject the low values that would make some results more likely than others.
  const std::uint32_t threshold = static_cast<std::uint32_t>(-bound) % bound;
  for (;;) {
    const std::uint32_t r = random32();
    if (r >= threshold) return r % bound;
  }
}

double randomUnit() {
  return static_cast<double>(random64() >> 11) * 0x1.0p-53;
}

void randomFill(void* data, std::size_t size) {
  auto* out = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const std::uint64_t word = random64();
    const std::size_t n = size < sizeof word ? size : sizeof word;
    std::memcpy(out, &word, n);
    out += n;
    size -= n;
  }
}

Bytes randomBytes(std::size_t size) {
  Bytes out(size);
  randomFill(out.data(), size);
  return out;
}

ScopedSeededRandom::ScopedSeededRandom(std::uint64_t seed)
    : source_(std::make_unique<SeededSource>(seed)) {
  std::lock_guard<std::mutex> guard(sourceMutex());
  previous_ = g_current;
  g_current = source_.get();
}

ScopedSeededRandom::~ScopedSeededRandom() {
  std::lock_guard<std::mutex> guard(sourceMutex());
  g_current = previous_;
}

}  // namespace platform
