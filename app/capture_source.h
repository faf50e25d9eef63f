#pragma once
// The source of prepared captures: reads each record's image, checks it,
// prepares it, detects its keypoints and extracts their patches, ahead of the
// record's turn, and hands the records out in list order.
//
// With W workers, up to W records are prepared at once on W threads, never
// more than W beyond the last one handed out: memory holds at most W captures
// being prepared or waiting, besides those the caller holds. With none, each
// record is prepared on the caller's thread when it is asked for. Either way
// the caller sees the same captures in the same order: a preparation prints
// nothing, and what it found (an image fault, no keypoints, an exception) goes
// with the capture to its turn. Once a preparation throws, nothing after that
// record is handed out: the run ends there.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "app/pipeline_observer.h"
#include "app/run_options.h"
#include "capture_list/capture_record.h"
#include "features/image_preparation.h"
#include "features/patch_buffer.h"
#include "features/patch_extractor.h"
#include "features/types.h"
#include "workspace/workspace.h"

namespace lf {

// Patch buffers handed from capture to capture, so that their memory is
// reused rather than mapped afresh for every capture.
class PatchBufferPool {
 public:
  struct Return {
    PatchBufferPool* pool;
    void operator()(PatchBuffer* buffer) const noexcept { pool->give_back(buffer); }
  };
  using Handle = std::unique_ptr<PatchBuffer, Return>;

  // Keeps at most `kept` spare buffers: more would only hold memory.
  explicit PatchBufferPool(std::size_t kept) : kept_(kept) {}
  Handle take();

 private:
  void give_back(PatchBuffer* buffer) noexcept;

  const std::size_t kept_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<PatchBuffer>> free_;
};

// One record, prepared ahead of its turn or at it.
struct PreparedCapture {
  std::size_t record = 0;        // index in the capture list
  bool presumed_done = false;    // not prepared: its pair looked complete (--skip-done)
  std::exception_ptr failure;    // thrown while preparing; rethrown at its turn
  ImageFault image_fault;        // why its image could not be prepared
  bool image_read = false;
  KeypointList keypoints;
  PatchBufferPool::Handle patches;  // one per keypoint; released once no longer needed
  CaptureTimes times;
  // Rows already run in an earlier capture's last batch: those of its first
  // `carried` patches.
  std::vector<float> carried_rows;
  std::size_t carried = 0;
};

// Reads, detects and extracts one record; each thread has its own.
class CapturePreparer {
 public:
  CapturePreparer(const std::vector<CaptureRecord>& records, const Workspace& workspace, const RunOptions& options,
                  PatchBufferPool& pool);
  // `check_done`: with --skip-done, a record whose pair is complete now is
  // not prepared; it will most likely be skipped at its turn.
  PreparedCapture prepare(std::size_t index, bool check_done);

 private:
  const std::vector<CaptureRecord>& records_;
  const Workspace& workspace_;
  const RunOptions& options_;
  PatchBufferPool& pool_;
  const PatchExtractor extractor_;
};

class CaptureSource {
 public:
  // `order`: the indices of the records to hand out, in list order.
  CaptureSource(const std::vector<CaptureRecord>& records, std::vector<std::size_t> order,
                const Workspace& workspace, const RunOptions& options, std::size_t workers);
  ~CaptureSource();
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;

  // The next record's preparation; empty after the last one, or after one
  // that threw.
  std::optional<PreparedCapture> next();

  // The record prepared now, on the caller's thread, whatever its pair: for
  // one that looked done ahead but is not at its turn.
  PreparedCapture prepare_now(std::size_t index);

 private:
  void work(CapturePreparer& preparer);
  void stop_workers() noexcept;
  bool may_claim() const;  // with the lock held

  const std::vector<std::size_t> order_;
  const bool check_done_;
  const std::size_t workers_;
  PatchBufferPool pool_;
  CapturePreparer own_preparer_;
  std::vector<std::unique_ptr<CapturePreparer>> preparers_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t claimed_ = 0;  // positions in `order_` a worker has taken up
  std::size_t handed_ = 0;   // positions handed out
  std::size_t end_ = 0;      // one past the last position to hand out
  bool stopping_ = false;
  // Preparations not yet handed out, at position % workers: at most `workers`
  // positions are claimed beyond those handed out.
  std::vector<std::optional<PreparedCapture>> ready_;
  std::vector<std::thread> threads_;
};

}  // namespace lf
