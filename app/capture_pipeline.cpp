#include "app/capture_pipeline.h"

#include <chrono>
#include <deque>
#include <optional>
#include <stdexcept>
#include <utility>

#include "app/batch_packer.h"
#include "app/capture_source.h"
#include "app/timed_network.h"
#include "results/result_files.h"
#include "results/staged_result_pair.h"
#include "platform/stop_point.h"

namespace lf {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The records of this run's shard, in list order; those whose uuid cannot
// name a result file are reported at their turn and never prepared.
struct Selected {
  std::size_t record;
  bool valid;
};

std::vector<Selected> select_records(const std::vector<CaptureRecord>& records, const RunOptions& options) {
  std::vector<Selected> selected;
  for (std::size_t i = 0; i < records.size(); ++i)
    if (in_shard(options, records[i].uuid)) selected.push_back({i, is_valid_result_stem(records[i].uuid)});
  return selected;
}

std::vector<std::size_t> to_prepare(const std::vector<Selected>& selected) {
  std::vector<std::size_t> order;
  for (const Selected& s : selected)
    if (s.valid) order.push_back(s.record);
  return order;
}

enum class Outcome { written, failed, run_failed };

class Pipeline {
 public:
  Pipeline(const std::vector<CaptureRecord>& records, const RunOptions& options, const Workspace& workspace,
           DescriptorNetwork& network, Reporter& reporter, const PipelineSettings& settings)
      : records_(records),
        options_(options),
        workspace_(workspace),
        reporter_(reporter),
        settings_(settings),
        network_(network, settings.observer),
        packer_(network_) {}

  bool run(RecordCounts& counts) {
    if (settings_.observer != nullptr) settings_.observer->captures_starting();
    const std::vector<Selected> selected = select_records(records_, options_);
    source_.emplace(records_, to_prepare(selected), workspace_, options_, settings_.workers);
    for (const Selected& s : selected) {
      const std::string& uuid = records_[s.record].uuid;
      if (!s.valid) {
        reporter_.invalid_uuid(uuid);
        ++counts.failed;
        continue;
      }
      const Clock::time_point waiting = Clock::now();
      PreparedCapture capture = take_next();
      capture.times.wait = seconds_since(waiting);
      if (options_.skip_done && result_pair_is_done(workspace_.matches_folder, uuid, options_.model_fingerprint)) {
        reporter_.skipped(uuid);
        ++counts.skipped;
        continue;
      }
      if (capture.presumed_done) capture = source_->prepare_now(s.record);
      switch (process(capture)) {
        case Outcome::written: ++counts.processed; break;
        case Outcome::failed: ++counts.failed; break;
        case Outcome::run_failed: ++counts.failed; return false;
      }
    }
    return true;
  }

 private:
  PreparedCapture take_next() {
    if (!pulled_.empty()) {
      PreparedCapture capture = std::move(pulled_.front());
      pulled_.pop_front();
      return capture;
    }
    std::optional<PreparedCapture> capture = source_->next();
    // The source holds exactly the records the loop asks for, up to the first
    // that failed, after which the loop asks for none.
    if (!capture) throw std::logic_error("a capture was asked for after the last one");
    return std::move(*capture);
  }

  // The next prepared record, kept for its turn; null at the end of the list,
  // or when as many records wait as a batch has slots.
  PreparedCapture* pull() {
    if (pulled_.size() >= packer_.batch_size()) return nullptr;
    const Clock::time_point start = Clock::now();
    std::optional<PreparedCapture> capture = source_->next();
    pull_wait_ += seconds_since(start);
    if (!capture) return nullptr;
    pulled_.push_back(std::move(*capture));
    return &pulled_.back();
  }

  Outcome process(PreparedCapture& capture) {
    const Clock::time_point start = Clock::now();
    static_cast<void>(network_.take_seconds());
    const Outcome outcome = write_pair(capture);
    capture.times.network = network_.take_seconds();
    capture.times.write = seconds_since(start) - capture.times.network - pull_wait_;
    capture.times.wait += pull_wait_;
    pull_wait_ = 0;
    if (settings_.observer != nullptr && outcome != Outcome::run_failed && capture.image_read)
      settings_.observer->capture_finished(records_[capture.record].uuid, capture.keypoints.size(), capture.times,
                                           outcome == Outcome::written);
    return outcome;
  }

  Outcome write_pair(PreparedCapture& capture) {
    if (capture.image_fault) reporter_.image_fault(capture.image_fault);
    if (capture.failure) std::rethrow_exception(capture.failure);
    if (!capture.image_read) return Outcome::failed;
    const std::string& uuid = records_[capture.record].uuid;
    const std::size_t count = capture.keypoints.size();
    if (count == 0) reporter_.no_keypoints();
    reporter_.capture_started(uuid, count);

    // With a model fingerprint (a run given options), the pair's model record
    // follows it into place.
    StagedResultPair pair(workspace_.matches_folder, uuid, options_.model_fingerprint);
    if (!pair.write_keypoints(capture.keypoints) || !pair.open_descriptors(count)) {
      reporter_.write_failed(pair.fault());
      return Outcome::failed;
    }
    non_finite_ = 0;
    append_rows(pair, capture.carried_rows.data(), capture.carried);
    std::size_t next = capture.carried;
    while (count - next >= packer_.batch_size()) {
      if (!packer_.run_whole(capture.patches->patch(next))) return network_failed();
      append_rows(pair, packer_.rows(), packer_.batch_size());
      next += packer_.batch_size();
      if (next < count) stop_point("between_batches");
    }
    if (next < count) {
      if (!packer_.run_last(capture, next, [this] { return pull(); })) return network_failed();
      append_rows(pair, packer_.rows(), count - next);
    }
    if (!pair.commit()) {
      if (pair.fault().error != 0) reporter_.write_failed(pair.fault());
      return Outcome::failed;
    }
    if (pair.unkept_record().error != 0) reporter_.model_record_not_kept(pair.unkept_record());
    if (non_finite_ > 0) reporter_.non_finite_rows(uuid, non_finite_);
    return Outcome::written;
  }

  Outcome network_failed() {
    reporter_.network_failed(packer_.failure());
    return Outcome::run_failed;
  }

  // Rows as the model gave them; those holding NaN or infinity are counted.
  void append_rows(StagedResultPair& pair, const float* rows, std::size_t count) {
    pair.append_rows(rows, count);
    non_finite_ += count_non_finite_rows(rows, count);
  }

  const std::vector<CaptureRecord>& records_;
  const RunOptions& options_;
  const Workspace& workspace_;
  Reporter& reporter_;
  const PipelineSettings settings_;
  TimedNetwork network_;
  BatchPacker packer_;
  double pull_wait_ = 0;        // of the capture whose turn it is
  std::size_t non_finite_ = 0;  // rows of the capture whose turn it is
  // Declared before the captures it hands out, whose patch buffers go back to it.
  std::optional<CaptureSource> source_;
  std::deque<PreparedCapture> pulled_;  // prepared ahead for a shared batch, in list order
};

}  // namespace

bool run_captures(const std::vector<CaptureRecord>& records, const RunOptions& options, const Workspace& workspace,
                  DescriptorNetwork& network, Reporter& reporter, RecordCounts& counts,
                  const PipelineSettings& settings) {
  Pipeline pipeline(records, options, workspace, network, reporter, settings);
  return pipeline.run(counts);
}

}  // namespace lf
