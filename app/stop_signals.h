#pragma once
// While a StopSignalCleanup lives, SIGINT and SIGTERM first remove this
// process's temporary result files, then end the process by the same signal,
// as it would have ended without the handler (a shell shows 130 or 143).

#include <csignal>

namespace lf {

class StopSignalCleanup {
 public:
  StopSignalCleanup();
  ~StopSignalCleanup();
  StopSignalCleanup(const StopSignalCleanup&) = delete;
  StopSignalCleanup& operator=(const StopSignalCleanup&) = delete;

 private:
  struct sigaction previous_interrupt_ {};
  struct sigaction previous_terminate_ {};
};

}  // namespace lf
