// Copies shaped for the memory system rather than left to one memcpy.
#pragma once

#include <cstddef>

namespace zv {

// memcpy into a block just allocated, whose pages are not touched yet.
void copy_to_new_block(void* dst, const void* src, std::size_t bytes);

}  // namespace zv
