// OwnedArray<T>: an owned block of trivially copyable elements with a size
// (elements held) and a capacity (elements allocated). Replacing the
// contents refills the block in place when it is large enough and at most
// twice too large: the first touch of fresh memory costs a page fault per
// page, which made a rebuild several times slower than a plain copy, while a
// much smaller replacement still gives memory back. Running out of memory is
// fatal (alloc.h).
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "alloc.h"
#include "bulk_copy.h"

namespace zv {

template <class T>
class OwnedArray {
  static_assert(std::is_trivially_copyable_v<T>, "OwnedArray copies its elements bytewise");

 public:
  OwnedArray() = default;
  ~OwnedArray() { release(); }
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  OwnedArray(OwnedArray&& other) noexcept { swap(other); }
  OwnedArray& operator=(OwnedArray&& other) noexcept {
    if (this != &other) {
      release();
      swap(other);
    }
    return *this;
  }

  int64_t size() const { return size_; }
  int64_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](int64_t i) { return data_[i]; }
  const T& operator[](int64_t i) const { return data_[i]; }

  // Whether the block is kept for `count` elements (see above).
  bool keeps_block_for(int64_t count) const {
    return data_ != nullptr && count > 0 && count <= capacity_ && capacity_ / 2 <= count;
  }

  // Holds `count` elements of unspecified value; true when the block was
  // kept, false when it is fresh (or there is none, for count <= 0).
  bool reset(int64_t count) {
    if (keeps_block_for(count)) {
      size_ = count;
      return true;
    }
    release();
    if (count > 0) {
      data_ = alloc_array<T>(count);
      size_ = capacity_ = count;
    }
    return false;
  }

  // Holds `count` elements with every byte set to `byte`.
  void reset_bytes(int64_t count, int byte) {
    reset(count);
    if (size_ > 0) std::memset(data_, byte, static_cast<std::size_t>(size_) * sizeof(T));
  }

  // Holds a copy of `count` elements of `src`.
  void refill(const T* src, int64_t count) {
    const bool kept = reset(count);
    if (size_ == 0) return;
    const std::size_t bytes = static_cast<std::size_t>(size_) * sizeof(T);
    if (kept) std::memcpy(data_, src, bytes);
    else copy_to_new_block(data_, src, bytes);
  }

  void release() {
    free_bytes(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  void swap(OwnedArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  T* data_ = nullptr;
  int64_t size_ = 0;
  int64_t capacity_ = 0;
};

}  // namespace zv
