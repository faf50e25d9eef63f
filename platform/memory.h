#pragma once
// Aligned memory, from the system's allocator.

#include <cstddef>

namespace lf {

void* allocate_aligned(std::size_t alignment, std::size_t size) noexcept;
void free_aligned(void* data) noexcept;

}  // namespace lf
