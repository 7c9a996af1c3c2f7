#pragma once

#include <cstddef>
#include <cstdint>

#include "common/pixel.h"

namespace quillet::standin {

// Where a frame buffer's first pixel lies. By default on a 64-byte cache line, so rows at a stride
// of whole lines never share one between workers; the test controls move it `offset` bytes past
// that boundary (then it is no longer 16-byte aligned either), or put it so that the buffer's
// last byte is the last byte before an inaccessible page.
struct BufferPlacement {
  int32_t offset = 0;    // 0..14, even (a Pixel needs 2-byte alignment)
  bool pageEnd = false;  // the last row of the buffer ends at a page nobody may touch
};

// One frame of the host: room for maxHeight rows of maxWidth pixels, rows maxWidth pixels
// apart. New buffers are filled with a fixed pattern, never left with arbitrary memory.
class FrameBuffer {
 public:
  FrameBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  FrameBuffer(int32_t maxWidth, int32_t maxHeight, BufferPlacement placement = {});
  ~FrameBuffer();
  FrameBuffer(FrameBuffer&& other) noexcept;
  FrameBuffer& operator=(FrameBuffer&& other) noexcept;
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;

  Pixel* pixels() const { return pixels_; }
  size_t bytes() const { return bytes_; }

  // Frame buffers alive in the whole process, for tests that bound the host's memory.
  static int liveCount();

 private:
  void release();

  void* base_ = nullptr;  // the allocation
  size_t allocated_ = 0;  // its size
  bool mapped_ = false;   // pages of our own (page-end placement) or the heap
  Pixel* pixels_ = nullptr;
  size_t bytes_ = 0;
};

// The value new frame buffers are filled with.
constexpr Pixel kPoisonPixel{0x5A5A, -0x2323, 0x3C3C};

}  // namespace quillet::standin
