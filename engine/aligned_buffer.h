#pragma once

#include <cstddef>
#include <memory>

namespace quillet::engine {

// Memory aligned to a 64-byte line, released with the owner.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  // False when the memory could not be had.
  bool allocate(size_t bytes);
  void* data() const { return data_.get(); }
  size_t size() const { return size_; }

 private:
  struct Free {
    void operator()(void* p) const;
  };
  std::unique_ptr<void, Free> data_;
  size_t size_ = 0;
};

}  // namespace quillet::engine
