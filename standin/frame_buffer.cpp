#include "standin/frame_buffer.h"

#include <atomic>
#include <cassert>
#include <new>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quillet::standin {

namespace {
std::atomic<int> liveBuffers{0};

constexpr size_t kAlignment = 64;  // one cache line

size_t pageSize() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

// Maps `usable` read-write bytes followed by one inaccessible page.
void* mapWithGuardPage(size_t usable, size_t page) {
#if defined(_WIN32)
  void* p = VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (p == nullptr) return nullptr;
  DWORD old = 0;
  if (!VirtualProtect(static_cast<char*>(p) + usable, page, PAGE_NOACCESS, &old)) {
    VirtualFree(p, 0, MEM_RELEASE);
    return nullptr;
  }
  return p;
#else
  void* p =
      mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (mprotect(static_cast<char*>(p) + usable, page, PROT_NONE) != 0) {
    munmap(p, usable + page);
    return nullptr;
  }
  return p;
#endif
}

void unmap(void* p, size_t size) {
#if defined(_WIN32)
  (void)size;
  VirtualFree(p, 0, MEM_RELEASE);
#else
  munmap(p, size);
#endif
}
}  // namespace

FrameBuffer::FrameBuffer(int32_t maxWidth, int32_t maxHeight, BufferPlacement placement) {
  assert(maxWidth >= 0 && maxHeight >= 0);
  assert(placement.offset >= 0 && placement.offset < static_cast<int32_t>(kAlignment));
  assert(placement.offset % 2 == 0);
  const size_t pixels = static_cast<size_t>(maxWidth) * static_cast<size_t>(maxHeight);
  if (pixels > SIZE_MAX / sizeof(Pixel) - 2 * kAlignment) throw std::bad_alloc();
  bytes_ = pixels * sizeof(Pixel);

  if (placement.pageEnd) {
    const size_t page = pageSize();
    const size_t usable = (bytes_ + page - 1) / page * page;
    base_ = mapWithGuardPage(usable, page);
    if (base_ == nullptr) throw std::bad_alloc();
    allocated_ = usable + page;
    mapped_ = true;
    pixels_ = reinterpret_cast<Pixel*>(static_cast<char*>(base_) + usable - bytes_);
  } else {
    allocated_ = bytes_ + static_cast<size_t>(placement.offset);
    if (allocated_ == 0) allocated_ = kAlignment;
    base_ = ::operator new (allocated_, std::align_val_t{kAlignment});
    pixels_ = reinterpret_cast<Pixel*>(static_cast<char*>(base_) + placement.offset);
  }
  for (size_t i = 0; i < pixels; ++i) pixels_[i] = kPoisonPixel;
  liveBuffers.fetch_add(1);
}

FrameBuffer::~FrameBuffer() { release(); }

FrameBuffer::FrameBuffer(FrameBuffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      allocated_(std::exchange(other.allocated_, 0)),
      mapped_(std::exchange(other.mapped_, false)),
      pixels_(std::exchange(other.pixels_, nullptr)),
      bytes_(std::exchange(other.bytes_, 0)) {}

FrameBuffer& FrameBuffer::operator=(FrameBuffer&& other) noexcept {
  if (this != &other) {
    release();
    base_ = std::exchange(other.base_, nullptr);
    allocated_ = std::exchange(other.allocated_, 0);
    mapped_ = std::exchange(other.mapped_, false);
    pixels_ = std::exchange(other.pixels_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void FrameBuffer::release() {
  if (base_ == nullptr) return;
  if (mapped_) {
    unmap(base_, allocated_);
  } else {
    ::operator delete (base_, std::align_val_t{kAlignment});
  }
  base_ = nullptr;
  pixels_ = nullptr;
  liveBuffers.fetch_sub(1);
}

int FrameBuffer::liveCount() { return liveBuffers.load(); }

}  // namespace quillet::standin
