#include "app/capture_source.h"

#include <chrono>
#include <utility>

#include "results/result_files.h"
#include "results/staged_result_pair.h"

namespace lf {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

PatchBufferPool::Handle PatchBufferPool::take() {
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

void PatchBufferPool::give_back(PatchBuffer* buffer) noexcept {
  std::unique_ptr<PatchBuffer> owned(buffer);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (free_.size() >= kept_) return;
  try {
    free_.push_back(std::move(owned));
  } catch (...) {
  }
}

CapturePreparer::CapturePreparer(const std::vector<CaptureRecord>& records, const Workspace& workspace,
                                 const RunOptions& options, PatchBufferPool& pool)
    : records_(records), workspace_(workspace), options_(options), pool_(pool) {}

PreparedCapture CapturePreparer::prepare(std::size_t index, bool check_done) {
  PreparedCapture capture;
  capture.record = index;
  const CaptureRecord& record = records_[index];
  try {
    if (check_done && result_pair_is_done(workspace_.matches_folder, record.uuid, options_.model_fingerprint)) {
      capture.presumed_done = true;
      return capture;
    }
    Clock::time_point start = Clock::now();
    const cv::Mat image = prepare_capture_image(workspace_.data_path, record, capture.image_fault);
    capture.times.prepare = seconds_since(start);
    if (image.empty()) return capture;
    capture.image_read = true;

    start = Clock::now();
    // No keypoints is no failure: the capture gets an empty pair.
    if (extractor_.detect_keypoints(image, capture.keypoints)) {
      capture.times.detect = seconds_since(start);
      start = Clock::now();
      capture.patches = pool_.take();
      static_cast<void>(extractor_.extract_patches(image, capture.keypoints, *capture.patches));
      capture.times.extract = seconds_since(start);
    } else {
      capture.times.detect = seconds_since(start);
    }
  } catch (...) {
    capture.failure = std::current_exception();
  }
  return capture;
}

CaptureSource::CaptureSource(const std::vector<CaptureRecord>& records, std::vector<std::size_t> order,
                             const Workspace& workspace, const RunOptions& options, std::size_t workers)
    : order_(std::move(order)),
      check_done_(options.skip_done),
      workers_(order_.empty() ? 0 : workers),
      // One buffer at the caller's turn, one for each capture being prepared.
      pool_(workers_ + 1),
      own_preparer_(records, workspace, options, pool_),
      end_(order_.size()),
      ready_(workers_) {
  for (std::size_t i = 0; i < workers_; ++i)
    preparers_.push_back(std::make_unique<CapturePreparer>(records, workspace, options, pool_));
  try {
    for (std::size_t i = 0; i < workers_; ++i) threads_.emplace_back([this, i] { work(*preparers_[i]); });
  } catch (...) {
    // No destructor runs for a constructor that throws: the threads started must end here.
    stop_workers();
    throw;
  }
}

CaptureSource::~CaptureSource() { stop_workers(); }

void CaptureSource::stop_workers() noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool CaptureSource::may_claim() const { return claimed_ < end_ && claimed_ < handed_ + workers_; }

void CaptureSource::work(CapturePreparer& preparer) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || claimed_ >= end_ || may_claim(); });
    if (stopping_ || claimed_ >= end_) return;
    const std::size_t position = claimed_++;
    lock.unlock();
    PreparedCapture capture = preparer.prepare(order_[position], check_done_);
    lock.lock();
    // The run ends at a record that threw; nothing after it is needed.
    if (capture.failure && position + 1 < end_) end_ = position + 1;
    ready_[position % workers_] = std::move(capture);
    changed_.notify_all();
  }
}

std::optional<PreparedCapture> CaptureSource::next() {
  if (workers_ == 0) {
    if (handed_ == end_) return std::nullopt;
    PreparedCapture capture = own_preparer_.prepare(order_[handed_++], check_done_);
    if (capture.failure) end_ = handed_;
    return capture;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<PreparedCapture>& slot = ready_[handed_ % workers_];
  changed_.wait(lock, [&] { return handed_ >= end_ || slot.has_value(); });
  if (handed_ >= end_) return std::nullopt;
  std::optional<PreparedCapture> capture = std::move(slot);
  slot.reset();
  ++handed_;
  lock.unlock();
  changed_.notify_all();
  return capture;
}

PreparedCapture CaptureSource::prepare_now(std::size_t index) { return own_preparer_.prepare(index, false); }

}  // namespace lf
