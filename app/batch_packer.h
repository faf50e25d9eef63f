#pragma once
// Fills the network's batches. A capture's whole batches go straight from its
// patches; the spare slots of its last, partial batch take the first patches
// of the captures that follow, whose rows are kept with them until their turn
// (the model contract makes a row depend on its own patch only), so only the
// last batch of a run is padded. A shared last batch that fails is run once
// more with only that capture's patches (the other slots back to 0.5): a
// failure that came from a later capture's patches then shows at that
// capture's turn, as it would without sharing, and one that does not recur
// lets the run go on.

#include <cstddef>
#include <functional>
#include <vector>

#include "app/capture_source.h"
#include "features/patch_buffer.h"
#include "inference/descriptor_network.h"

namespace lf {

class BatchPacker {
 public:
  // The next capture in list order, kept by the caller for its turn; null
  // when there is none (the end of the list, or enough are waiting).
  using Pull = std::function<PreparedCapture*()>;

  explicit BatchPacker(DescriptorNetwork& network);

  std::size_t batch_size() const { return batch_; }

  // One whole batch of patches, read in place.
  [[nodiscard]] bool run_whole(const float* patches);
  // The capture's patches from `first` on (fewer than a batch), its spare
  // slots filled from the captures `pull` gives; those that shared the batch
  // get their rows as carried rows. Releases the capture's patches.
  [[nodiscard]] bool run_last(PreparedCapture& capture, std::size_t first, const Pull& pull);

  // The rows of the last run; after run_last, the capture's rows come first.
  const float* rows() const { return rows_.data(); }
  const NetworkFailure& failure() const { return failure_; }

 private:
  struct Sharer {
    PreparedCapture* capture;
    std::size_t slot;
    std::size_t count;
  };

  [[nodiscard]] bool run(const float* patches) { return network_.run(patches, rows_.data(), failure_); }
  void hand_rows_to(const std::vector<Sharer>& sharers);

  DescriptorNetwork& network_;
  const std::size_t batch_;
  const std::size_t row_length_;
  PatchBuffer staging_;
  std::vector<float> rows_;
  NetworkFailure failure_;
};

}  // namespace lf
