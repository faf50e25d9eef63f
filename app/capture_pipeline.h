#pragma once
// The per-capture pipeline: for each record of the run, in list order, read
// and prepare its image, detect keypoints, extract patches, stage the result
// pair, run the network batch by batch into the descriptor file, and commit.
//
// Two things run side by side, with the same console lines and files, in the
// same order, as one capture after another:
//  * while the network runs capture k, a second thread prepares, detects and
//    extracts the next capture, at most one capture ahead. It prints nothing:
//    its messages wait with the capture until the capture's turn.
//  * the spare slots of a capture's last batch take the first patches of the
//    captures that follow, whose rows are kept until their turn (the model
//    contract makes a row depend on its own patch only). Only the last batch
//    of the run is padded.
// A failed network run stops the run at the capture whose turn it is; what was
// prepared ahead is dropped unseen. A shared last batch that fails is run once
// more with only that capture's patches (the other slots back to 0.5), so that
// a failure coming from a later capture's patches shows at that capture's turn,
// as it would without sharing; a failure that does not recur lets the run go on.

#include <cstddef>
#include <string>
#include <vector>

#include "app/reporter.h"
#include "app/run_options.h"
#include "capture_list/capture_record.h"
#include "inference/descriptor_network.h"
#include "workspace/workspace.h"

namespace lf {

// Seconds per stage of one capture. prepare, detect and extract are spent on
// the preparing thread; the rest at the capture's turn: wait for the preparing
// thread (for this capture, or for the next ones whose patches share its last
// batch), network runs, and write, everything else.
struct CaptureTimes {
  double prepare = 0, detect = 0, extract = 0, wait = 0, network = 0, write = 0;
};

// Told what the pipeline did, on the pipeline's own thread; for measurements.
class PipelineObserver {
 public:
  virtual ~PipelineObserver() = default;
  // Once, before the first record: the run's start-up has ended.
  virtual void captures_starting() = 0;
  virtual void network_ran(double seconds) = 0;
  // After every capture that had its turn, `written` when its pair was committed.
  virtual void capture_finished(const std::string& uuid, std::size_t keypoints, const CaptureTimes& times,
                                bool written) = 0;
};

struct PipelineSettings {
  bool prepare_ahead = true;  // the second thread; off, each capture is prepared at its turn
  PipelineObserver* observer = nullptr;
};

// Runs the records of this run's shard; false when a network run failed and
// the run must stop. An exception thrown while a capture was prepared leaves
// at that capture's turn, after the lines of the captures before it.
[[nodiscard]] bool run_captures(const std::vector<CaptureRecord>& records, const RunOptions& options,
                                const Workspace& workspace, DescriptorNetwork& network, Reporter& reporter,
                                RecordCounts& counts, const PipelineSettings& settings = {});

}  // namespace lf
