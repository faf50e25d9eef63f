#pragma once
// The per-capture pipeline: for each record of the run, in list order, take
// its prepared capture from the source (capture_source.h), stage its result
// pair, run its patches through the network batch by batch into the
// descriptor file (batch_packer.h), and commit.
//
// The console lines and the files are those of one capture after another,
// whatever was prepared ahead or shared a batch. A failed network run stops
// the run at the capture whose turn it is; what was prepared ahead is dropped
// unseen.

#include <cstddef>
#include <vector>

#include "app/pipeline_observer.h"
#include "app/reporter.h"
#include "app/run_options.h"
#include "capture_list/capture_record.h"
#include "inference/descriptor_network.h"
#include "workspace/workspace.h"

namespace lf {

struct PipelineSettings {
  // Threads preparing captures ahead of their turn; 0 prepares each at its turn.
  std::size_t workers = 1;
  PipelineObserver* observer = nullptr;
};

// Runs the records of this run's shard; false when a network run failed and
// the run must stop. An exception thrown while a capture was prepared leaves
// at that capture's turn, after the lines of the captures before it.
[[nodiscard]] bool run_captures(const std::vector<CaptureRecord>& records, const RunOptions& options,
                                const Workspace& workspace, DescriptorNetwork& network, Reporter& reporter,
                                RecordCounts& counts, const PipelineSettings& settings = {});

}  // namespace lf
