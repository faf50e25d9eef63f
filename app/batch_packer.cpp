#include "app/batch_packer.h"

#include <algorithm>

namespace lf {

BatchPacker::BatchPacker(DescriptorNetwork& network)
    : network_(network),
      batch_(static_cast<std::size_t>(network.batch_size())),
      row_length_(static_cast<std::size_t>(network.descriptor_length())),
      staging_(batch_),
      rows_(batch_ * row_length_) {
  // Halves, as the network's load check ran, until patches take the slots.
  staging_.fill(0.5f);
}

bool BatchPacker::run_whole(const float* patches) { return run(patches); }

bool BatchPacker::run_last(PreparedCapture& capture, std::size_t first, const Pull& pull) {
  const std::size_t tail = capture.keypoints.size() - first;
  std::copy_n(capture.patches->patch(first), tail * PatchBuffer::patch_values, staging_.data());
  capture.patches.reset();
  std::vector<Sharer> sharers;
  for (std::size_t filled = tail; filled < batch_;) {
    PreparedCapture* next = pull();
    if (next == nullptr || next->failure) break;
    const std::size_t count = std::min(next->keypoints.size(), batch_ - filled);
    if (!next->image_read || next->presumed_done || count == 0) continue;
    std::copy_n(next->patches->data(), count * PatchBuffer::patch_values, staging_.patch(filled));
    sharers.push_back({next, filled, count});
    filled += count;
  }
  if (run(staging_.data())) {
    hand_rows_to(sharers);
    return true;
  }
  if (sharers.empty()) return false;
  // Each later capture gets its own batches at its turn, and fails there.
  std::fill(staging_.patch(tail), staging_.patch(batch_), 0.5f);
  return run(staging_.data());
}

void BatchPacker::hand_rows_to(const std::vector<Sharer>& sharers) {
  for (const Sharer& sharer : sharers) {
    const float* rows = rows_.data() + sharer.slot * row_length_;
    sharer.capture->carried_rows.assign(rows, rows + sharer.count * row_length_);
    sharer.capture->carried = sharer.count;
    if (sharer.count == sharer.capture->keypoints.size()) sharer.capture->patches.reset();
  }
}

}  // namespace lf
