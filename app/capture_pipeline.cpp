#include "app/capture_pipeline.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sstream>
#include <thread>
#include <utility>

#include "features/image_preparation.h"
#include "features/patch_buffer.h"
#include "features/patch_extractor.h"
#include "results/result_files.h"
#include "workspace/stop_point.h"

namespace lf {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// --skip-done: a complete pair written by the same model.
bool pair_is_done(const Workspace& workspace, const RunOptions& options, const std::string& uuid) {
  return result_pair_is_done(workspace.matches_folder, uuid, options.model_fingerprint);
}

// Patch buffers handed from capture to capture, so that their memory is
// reused rather than mapped afresh for every capture.
class PatchBufferPool {
 public:
  struct Return {
    PatchBufferPool* pool;
    void operator()(PatchBuffer* buffer) const noexcept { pool->give_back(buffer); }
  };
  using Handle = std::unique_ptr<PatchBuffer, Return>;

  Handle take() {
    std::unique_ptr<PatchBuffer> buffer;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        buffer = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!buffer) buffer = std::make_unique<PatchBuffer>();
    return Handle(buffer.release(), Return{this});
  }

 private:
  // Two spare buffers cover the steady state (one capture at its turn, one
  // being prepared); more would only hold memory.
  static constexpr std::size_t kept = 2;

  void give_back(PatchBuffer* buffer) noexcept {
    std::unique_ptr<PatchBuffer> owned(buffer);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() >= kept) return;
    try {
      free_.push_back(std::move(owned));
    } catch (...) {
    }
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<PatchBuffer>> free_;
};

// One record, prepared ahead of its turn or at it.
struct PreparedCapture {
  std::size_t record = 0;        // index in the capture list
  bool presumed_done = false;    // not prepared: its pair looked complete (--skip-done)
  std::exception_ptr failure;    // thrown while preparing; rethrown at its turn
  std::string err_text;          // its messages, held back until its turn
  std::string out_text;
  bool image_read = false;
  KeypointList keypoints;
  PatchBufferPool::Handle patches;  // one per keypoint; released once no longer needed
  CaptureTimes times;
  // Rows already run in an earlier capture's last batch: those of its first
  // `carried` patches.
  std::vector<float> carried_rows;
  std::size_t carried = 0;
};

// Reads, detects and extracts one record; the pipeline thread and the
// preparing thread each have their own.
class CapturePreparer {
 public:
  CapturePreparer(const std::vector<CaptureRecord>& records, const Workspace& workspace, const RunOptions& options,
                  PatchBufferPool& pool, bool check_done)
      : records_(records),
        workspace_(workspace),
        options_(options),
        pool_(pool),
        check_done_(check_done),
        extractor_(messages_) {}

  PreparedCapture prepare(std::size_t index) {
    PreparedCapture capture;
    capture.record = index;
    const CaptureRecord& record = records_[index];
    std::ostringstream err;
    messages_.str("");
    try {
      // A pair that is complete now will most likely be skipped at its turn,
      // where it is looked at again.
      if (check_done_ && pair_is_done(workspace_, options_, record.uuid)) {
        capture.presumed_done = true;
        return capture;
      }
      Clock::time_point start = Clock::now();
      const cv::Mat image = prepare_capture_image(workspace_.data_path, record, err);
      capture.times.prepare = seconds_since(start);
      capture.err_text = err.str();
      if (image.empty()) return capture;
      capture.image_read = true;

      start = Clock::now();
      // No keypoints is no failure: the capture gets an empty pair.
      static_cast<void>(extractor_.detect_keypoints(image, capture.keypoints));
      capture.times.detect = seconds_since(start);
      start = Clock::now();
      if (!capture.keypoints.empty()) {
        capture.patches = pool_.take();
        static_cast<void>(extractor_.extract_patches(image, capture.keypoints, *capture.patches));
      } else {
        static_cast<void>(extractor_.extract_patches(image, capture.keypoints, empty_));
      }
      capture.times.extract = seconds_since(start);
    } catch (...) {
      capture.failure = std::current_exception();
      capture.err_text = err.str();
    }
    capture.out_text = messages_.str();
    return capture;
  }

 private:
  const std::vector<CaptureRecord>& records_;
  const Workspace& workspace_;
  const RunOptions& options_;
  PatchBufferPool& pool_;
  const bool check_done_;
  std::ostringstream messages_;  // the extractor's lines
  const PatchExtractor extractor_;
  PatchBuffer empty_;
};

// Hands out the prepared records in list order. With a thread, it prepares
// the next record while the caller works on the one it took last, never more.
class CaptureSource {
 public:
  CaptureSource(std::vector<std::size_t> order, CapturePreparer& preparer, bool ahead)
      : order_(std::move(order)), preparer_(preparer) {
    if (ahead && !order_.empty()) thread_ = std::thread([this] { prepare_ahead(); });
  }
  ~CaptureSource() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;

  // The next record's preparation; empty after the last one.
  std::optional<PreparedCapture> next() {
    if (!thread_.joinable()) {
      if (handed_ == order_.size()) return std::nullopt;
      return preparer_.prepare(order_[handed_++]);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (handed_ == order_.size()) return std::nullopt;
    changed_.wait(lock, [this] { return ready_.has_value() || finished_; });
    if (!ready_) return std::nullopt;
    std::optional<PreparedCapture> capture = std::move(ready_);
    ready_.reset();
    ++handed_;
    lock.unlock();
    changed_.notify_all();
    return capture;
  }

 private:
  void prepare_ahead() {
    prepare_in_order();
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }

  void prepare_in_order() {
    for (std::size_t position = 0; position < order_.size(); ++position) {
      {
        // One ahead: the next preparation starts once the last one was taken.
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || !ready_.has_value(); });
        if (stopping_) return;
      }
      PreparedCapture capture = preparer_.prepare(order_[position]);
      const bool failed = static_cast<bool>(capture.failure);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ready_ = std::move(capture);
      }
      changed_.notify_all();
      // The run ends at that record; nothing after it is needed.
      if (failed) return;
    }
  }

  const std::vector<std::size_t> order_;
  CapturePreparer& preparer_;
  std::size_t handed_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<PreparedCapture> ready_;
  bool stopping_ = false;
  bool finished_ = false;  // the thread has prepared all it will
  std::thread thread_;
};

enum class Outcome { written, failed, run_failed };

class Pipeline {
 public:
  Pipeline(const std::vector<CaptureRecord>& records, const RunOptions& options, const Workspace& workspace,
           DescriptorNetwork& network, Reporter& reporter, const PipelineSettings& settings)
      : records_(records),
        options_(options),
        workspace_(workspace),
        network_(network),
        reporter_(reporter),
        settings_(settings),
        batch_(static_cast<std::size_t>(network.batch_size())),
        row_length_(static_cast<std::size_t>(network.descriptor_length())),
        staging_(batch_),
        rows_(batch_ * row_length_) {
    // Halves, as the network's load check ran, until patches take the slots.
    staging_.fill(0.5f);
  }

  bool run(RecordCounts& counts) {
    if (settings_.observer != nullptr) settings_.observer->captures_starting();
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < records_.size(); ++i)
      if (in_shard(options_, records_[i].uuid) && is_valid_result_stem(records_[i].uuid)) order.push_back(i);
    CapturePreparer ahead_preparer(records_, workspace_, options_, pool_, options_.skip_done);
    CaptureSource source(std::move(order), ahead_preparer, settings_.prepare_ahead);
    source_ = &source;

    for (std::size_t i = 0; i < records_.size(); ++i) {
      const CaptureRecord& record = records_[i];
      if (!in_shard(options_, record.uuid)) continue;
      if (!is_valid_result_stem(record.uuid)) {
        reporter_.invalid_uuid(record.uuid);
        ++counts.failed;
        continue;
      }
      const Clock::time_point waiting = Clock::now();
      PreparedCapture capture = take_next();
      capture.times.wait = seconds_since(waiting);
      if (options_.skip_done && pair_is_done(workspace_, options_, record.uuid)) {
        reporter_.skipped(record.uuid);
        ++counts.skipped;
        continue;
      }
      if (capture.presumed_done) capture = prepare_now(i);
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

  // A record that looked done ahead but is not at its turn.
  PreparedCapture prepare_now(std::size_t index) {
    if (!own_preparer_) own_preparer_ = std::make_unique<CapturePreparer>(records_, workspace_, options_, pool_, false);
    return own_preparer_->prepare(index);
  }

  bool run_network(const float* patches, CaptureTimes& times) {
    const Clock::time_point start = Clock::now();
    const bool ran = network_.run(patches, rows_.data(), failure_);
    const double seconds = seconds_since(start);
    times.network += seconds;
    if (settings_.observer != nullptr) settings_.observer->network_ran(seconds);
    return ran;
  }

  Outcome process(PreparedCapture& capture) {
    const Clock::time_point start = Clock::now();
    const Outcome outcome = write_pair(capture);
    capture.times.write = seconds_since(start) - capture.times.network - pull_wait_;
    capture.times.wait += pull_wait_;
    pull_wait_ = 0;
    if (settings_.observer != nullptr && outcome != Outcome::run_failed && capture.image_read)
      settings_.observer->capture_finished(records_[capture.record].uuid, capture.keypoints.size(), capture.times,
                                           outcome == Outcome::written);
    return outcome;
  }

  Outcome write_pair(PreparedCapture& capture) {
    reporter_.preparation_messages(capture.err_text, capture.out_text);
    if (capture.failure) std::rethrow_exception(capture.failure);
    if (!capture.image_read) return Outcome::failed;
    const std::string& uuid = records_[capture.record].uuid;
    const std::size_t count = capture.keypoints.size();
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
    // Whole batches straight from the capture's patches.
    while (count - next >= batch_) {
      if (!run_network(capture.patches->patch(next), capture.times)) {
        reporter_.network_failed(failure_);
        return Outcome::run_failed;
      }
      append_rows(pair, rows_.data(), batch_);
      next += batch_;
      if (next < count) stop_point("between_batches");
    }
    if (next < count && !run_last_batch(capture, next, pair)) return Outcome::run_failed;
    if (!pair.commit()) {
      if (pair.fault().error != 0) reporter_.write_failed(pair.fault());
      return Outcome::failed;
    }
    if (pair.unkept_record().error != 0) reporter_.model_record_not_kept(pair.unkept_record());
    if (non_finite_ > 0) reporter_.non_finite_rows(uuid, non_finite_);
    return Outcome::written;
  }

  // Rows as the model gave them; those holding NaN or infinity are counted.
  void append_rows(StagedResultPair& pair, const float* rows, std::size_t count) {
    pair.append_rows(rows, count);
    non_finite_ += count_non_finite_rows(rows, count);
  }

  struct Sharer {
    PreparedCapture* capture;
    std::size_t slot;
    std::size_t count;
  };

  // The capture's last, partial batch, its spare slots filled with the first
  // patches of the captures that follow.
  bool run_last_batch(PreparedCapture& capture, std::size_t first, StagedResultPair& pair) {
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
    if (!run_network(staging_.data(), capture.times)) {
      if (sharers.empty() || !run_alone(tail, capture.times)) {
        reporter_.network_failed(failure_);
        return false;
      }
      // The failure came from a later capture's patches; each gets its own
      // batches at its turn, and fails there.
      sharers.clear();
    }
    append_rows(pair, rows_.data(), tail);
    for (const Sharer& sharer : sharers) {
      const float* rows = rows_.data() + sharer.slot * row_length_;
      sharer.capture->carried_rows.assign(rows, rows + sharer.count * row_length_);
      sharer.capture->carried = sharer.count;
      if (sharer.count == sharer.capture->keypoints.size()) sharer.capture->patches.reset();
    }
    return true;
  }

  // The last batch again with the spare slots back to halves.
  bool run_alone(std::size_t tail, CaptureTimes& times) {
    std::fill(staging_.patch(tail), staging_.patch(batch_), 0.5f);
    return run_network(staging_.data(), times);
  }

  // The next prepared record, kept for its turn; null at the end of the list,
  // or when as many records wait as a batch has slots.
  PreparedCapture* pull() {
    if (pulled_.size() >= batch_) return nullptr;
    const Clock::time_point start = Clock::now();
    std::optional<PreparedCapture> capture = source_->next();
    pull_wait_ += seconds_since(start);
    if (!capture) return nullptr;
    pulled_.push_back(std::move(*capture));
    return &pulled_.back();
  }

  const std::vector<CaptureRecord>& records_;
  const RunOptions& options_;
  const Workspace& workspace_;
  DescriptorNetwork& network_;
  Reporter& reporter_;
  const PipelineSettings settings_;
  const std::size_t batch_;
  const std::size_t row_length_;
  PatchBufferPool pool_;
  PatchBuffer staging_;
  std::vector<float> rows_;
  NetworkFailure failure_;
  double pull_wait_ = 0;       // of the capture whose turn it is
  std::size_t non_finite_ = 0;  // rows of the capture whose turn it is
  CaptureSource* source_ = nullptr;
  std::deque<PreparedCapture> pulled_;  // prepared ahead for a shared batch, in list order
  std::unique_ptr<CapturePreparer> own_preparer_;
};

}  // namespace

bool run_captures(const std::vector<CaptureRecord>& records, const RunOptions& options, const Workspace& workspace,
                  DescriptorNetwork& network, Reporter& reporter, RecordCounts& counts,
                  const PipelineSettings& settings) {
  Pipeline pipeline(records, options, workspace, network, reporter, settings);
  return pipeline.run(counts);
}

}  // namespace lf
