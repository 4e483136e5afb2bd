// Owned heap blocks. Every allocation of the engine goes through here so that
// running out of memory has exactly one outcome: the fatal line and an
// abnormal end of the process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

// Alignment of every block from alloc_bytes(): one cache line, which also
// suits any vector load. (resize_bytes() keeps only 16.)
inline constexpr std::size_t kBlockAlign = 64;

// Writes the fatal allocation line to file descriptor 1 and aborts.
[[noreturn]] void fatal_alloc_failure();

// A block of `bytes` bytes aligned to kBlockAlign; nullptr for 0 bytes.
void* alloc_bytes(std::size_t bytes);
void free_bytes(void* block);

// Resizes a block from alloc_bytes() or resize_bytes(), keeping its first
// min(old, new) bytes. Only 16-byte alignment is kept: growable lists use it,
// because the allocator can then move large blocks by remapping pages
// instead of copying them.
void* resize_bytes(void* block, std::size_t bytes);

// Faults in every page of [begin, begin + bytes) for writing, in one call
// where the system can (contents unchanged; nothing happens where it
// cannot). The range must lie inside one block.
void prefault_for_write(void* begin, std::size_t bytes);

// Bytes for `count` elements of `size` bytes; a negative count or a product
// that overflows is an allocation that cannot succeed, hence fatal.
std::size_t checked_bytes(int64_t count, std::size_t size);

template <class T>
T* alloc_array(int64_t count) {
  return static_cast<T*>(alloc_bytes(checked_bytes(count, sizeof(T))));
}

}  // namespace zv
