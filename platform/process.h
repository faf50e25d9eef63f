#pragma once
// The process: who it is, how it stops, and calls into foreign code.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lf {

long current_process_id();
std::string host_name();

// Cores this process may run on (its affinity, as a batch scheduler sets it);
// at least 1.
unsigned available_cores();

// Bytes of memory the system could give now without swapping; 0 when unknown.
std::uint64_t available_memory();

// Blocks the calling thread until the process ends.
[[noreturn]] void wait_forever() noexcept;

// While the object lives, a request to stop (SIGINT, SIGTERM and SIGHUP; on
// Windows the console's Ctrl+C, Ctrl+Break and close events) first calls
// `cleanup`, then ends the process as the request would have without the handler.
// A signal ignored when the object is made (nohup) stays ignored.
class StopRequestHandler {
 public:
  using Cleanup = void (*)() noexcept;
  explicit StopRequestHandler(Cleanup cleanup);
  ~StopRequestHandler();
  StopRequestHandler(const StopRequestHandler&) = delete;
  StopRequestHandler& operator=(const StopRequestHandler&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// Runs `call`, a call into a library built with another toolchain; false with
// the exception's message in `failure` when it ended by throwing. On Windows the
// library's exceptions cannot be caught by this program's code: the call runs on
// a worker thread whose unhandled exception is read and ends only that thread.
bool run_guarded_call(const std::function<void()>& call, std::string& failure);

}  // namespace lf
