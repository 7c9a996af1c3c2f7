#include "tests/support/guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

namespace quillet::test {

PageEndBuffer::PageEndBuffer(size_t bytes, size_t lead) : bytes_(bytes), lead_(lead) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t usable = (bytes + lead + page - 1) / page * page;
  mappingSize_ = usable + page;
  void* p = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  mapping_ = static_cast<uint8_t*>(p);
  if (mprotect(mapping_ + usable, page, PROT_NONE) != 0) throw std::bad_alloc();
  data_ = mapping_ + usable - bytes;
  std::memset(data_ - lead_, kCanaryByte, lead_);
}

PageEndBuffer::~PageEndBuffer() { munmap(mapping_, mappingSize_); }

bool PageEndBuffer::leadIntact() const {
  for (size_t i = 1; i <= lead_; ++i) {
    if (data_[-static_cast<ptrdiff_t>(i)] != kCanaryByte) return false;
  }
  return true;
}

uint64_t testSeed() {
  static const uint64_t seed = [] {
    const char* env = std::getenv("QUILLET_TEST_SEED");
    return env ? std::strtoull(env, nullptr, 0) : 0x5eed2026ULL;
  }();
  return seed;
}

uint64_t Prng::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

int32_t Prng::range(int32_t lo, int32_t hi) {
  const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(hi) - lo + 1);
  return static_cast<int32_t>(lo + static_cast<int64_t>(next() % span));
}

bool mmxStateEmpty() {
#if defined(__i386__) || defined(__x86_64__)
  unsigned char env[28];
  __asm__ volatile("fnstenv %0\n\tfldenv %0" : "=m"(env) : : "memory");
  const unsigned tag = static_cast<unsigned>(env[8]) | (static_cast<unsigned>(env[9]) << 8);
  return tag == 0xFFFF;
#else
  return true;
#endif
}

void dirtyMmxState() {
#if defined(__i386__) || defined(__x86_64__)
  __asm__ volatile("pxor %%mm0, %%mm0" : : : "mm0");
#endif
}

}  // namespace quillet::test
