#pragma once
// Patches side by side in one aligned block of floats: patch k is the
// patch_side x patch_side floats at data() + k * patch_values, row-major. The
// block is what the descriptor network reads, so whole batches go to it
// without a copy.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "features/types.h"
#include "platform/memory.h"

namespace lf {

class PatchBuffer {
 public:
  static constexpr std::size_t patch_values = patch_floats;
  static constexpr std::size_t alignment = network_input_alignment;

  PatchBuffer() = default;
  explicit PatchBuffer(std::size_t count) { resize(count); }

  // Room for `count` patches. Contents are kept only while the buffer does not
  // grow; a buffer that shrinks keeps its memory for the next, larger capture.
  void resize(std::size_t count) {
    if (count > capacity_) {
      const std::size_t bytes = count * patch_values * sizeof(float);  // a multiple of the alignment
      data_.reset(static_cast<float*>(allocate_aligned(alignment, bytes)));
      if (!data_) throw std::bad_alloc();
      capacity_ = count;
    }
    count_ = count;
  }
  void fill(float value) { std::fill(data(), data() + count_ * patch_values, value); }

  std::size_t size() const { return count_; }
  float* data() { return data_.get(); }
  const float* data() const { return data_.get(); }
  float* patch(std::size_t k) { return data_.get() + k * patch_values; }
  const float* patch(std::size_t k) const { return data_.get() + k * patch_values; }

 private:
  struct Free {
    void operator()(float* data) const noexcept { free_aligned(data); }
  };
  std::unique_ptr<float[], Free> data_;
  std::size_t capacity_ = 0;
  std::size_t count_ = 0;
};

}  // namespace lf
