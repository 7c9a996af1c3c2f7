#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillet::test {

// `bytes` usable bytes that end exactly at an inaccessible page, so any read or write past the
// end faults. `lead` bytes before data() are readable and writable and filled with a canary, so
// an underrun is caught by canaryIntact(). data() = page end - bytes: choose `bytes` to pick
// the alignment of the start.
class PageEndBuffer {
 public:
  explicit PageEndBuffer(size_t bytes, size_t lead = 64);
  ~PageEndBuffer();
  PageEndBuffer(const PageEndBuffer&) = delete;
  PageEndBuffer& operator=(const PageEndBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return bytes_; }
  template <class T>
  T* as() {
    return reinterpret_cast<T*>(data_);
  }
  bool leadIntact() const;

 private:
  uint8_t* mapping_ = nullptr;
  size_t mappingSize_ = 0;
  uint8_t* data_ = nullptr;
  size_t bytes_ = 0;
  size_t lead_ = 0;
};

constexpr uint8_t kCanaryByte = 0xA5;

// Seeded generator for test data (splitmix64). The seed comes from QUILLET_TEST_SEED when set,
// otherwise a fixed default; print testSeed() in failure messages.
uint64_t testSeed();

class Prng {
 public:
  explicit Prng(uint64_t seed) : state_(seed) {}
  uint64_t next();
  // Uniform in lo..hi inclusive.
  int32_t range(int32_t lo, int32_t hi);
  int16_t sample(int32_t magnitude) { return static_cast<int16_t>(range(-magnitude, magnitude)); }

 private:
  uint64_t state_;
};

// True when the x87 tag word says every register is empty (no MMX state left behind).
bool mmxStateEmpty();

// Puts the x87 unit into MMX state (tags full) so a test can check that a stage clears it.
void dirtyMmxState();

}  // namespace quillet::test
