// GrowList<T>: a contiguous, owned array with a length and a capacity that
// grows geometrically (0, then 1, then doubling). Trivially copyable
// elements are relocated bytewise, so the allocator may move a large block
// by remapping its pages; any other element (IdMap, IvfEntry, an owned
// array) is move-constructed into a fresh block and the old one destroyed.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "alloc.h"
#include "tuning.h"

namespace zv {

template <class T>
class GrowList {
 public:
  GrowList() = default;
  ~GrowList() { release(); }
  GrowList(const GrowList&) = delete;
  GrowList& operator=(const GrowList&) = delete;

  int64_t size() const { return size_; }
  int64_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](int64_t i) { return data_[i]; }
  const T& operator[](int64_t i) const { return data_[i]; }

  // Ensures room for `extra` more elements, doubling as often as needed.
  void reserve_more(int64_t extra) {
    if (extra <= 0 || extra <= capacity_ - size_) return;
    if (extra > INT64_MAX - size_) fatal_alloc_failure();
    int64_t need = size_ + extra;
    int64_t cap = capacity_ == 0 ? 1 : capacity_;
    while (cap < need) {
      if (cap > INT64_MAX / 2) fatal_alloc_failure();
      cap *= 2;
    }
    if constexpr (std::is_trivially_copyable_v<T>) {
      data_ = static_cast<T*>(resize_bytes(data_, checked_bytes(cap, sizeof(T))));
    } else {
      static_assert(std::is_nothrow_move_constructible_v<T>);
      T* fresh = static_cast<T*>(alloc_bytes(checked_bytes(cap, sizeof(T))));
      for (int64_t i = 0; i < size_; ++i) {
        new (fresh + i) T(std::move(data_[i]));
        data_[i].~T();
      }
      free_bytes(data_);
      data_ = fresh;
    }
    capacity_ = cap;
    // A moved block keeps its contents, not necessarily its faulted pages.
    prefaulted_ = size_ * static_cast<int64_t>(sizeof(T));
  }

  void push_back(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    reserve_more(1);
    prefault_through(size_ + 1);
    data_[size_++] = value;
  }

  // Appends `count` elements copied from `src`.
  void append(const T* src, int64_t count) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (count <= 0) return;
    reserve_more(count);
    prefault_through(size_ + count);
    std::memcpy(data_ + size_, src, static_cast<std::size_t>(count) * sizeof(T));
    size_ += count;
  }

  // Appends one default-constructed element and returns it.
  T& emplace_back() {
    reserve_more(1);
    T* slot = new (data_ + size_) T();
    ++size_;
    return *slot;
  }

  // Destroys every element and releases the storage.
  void release() {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (int64_t i = 0; i < size_; ++i) data_[i].~T();
    }
    free_bytes(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    prefaulted_ = 0;
  }

 private:
  // Many small appends write fresh capacity a page at a time: its pages are
  // faulted in a stretch ahead with one call (see kAppendPrefaultBytes)
  // before elements up to `count` are written.
  void prefault_through(int64_t count) {
    const int64_t end = count * static_cast<int64_t>(sizeof(T));
    if (end <= prefaulted_) return;
    const int64_t cap = capacity_ * static_cast<int64_t>(sizeof(T));
    const int64_t from = size_ * static_cast<int64_t>(sizeof(T));
    const int64_t to = cap - end > kAppendPrefaultBytes ? end + kAppendPrefaultBytes : cap;
    if (cap >= kAppendPrefaultMinBlock) {
      prefault_for_write(reinterpret_cast<char*>(data_) + from, static_cast<std::size_t>(to - from));
    }
    prefaulted_ = to;
  }

  T* data_ = nullptr;
  int64_t size_ = 0;
  int64_t capacity_ = 0;
  int64_t prefaulted_ = 0;  // bytes from data_ known to be faulted in
};

}  // namespace zv
