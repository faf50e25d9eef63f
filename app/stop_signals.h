#pragma once
// While a StopSignalCleanup lives, SIGINT, SIGTERM and SIGHUP (a closed
// terminal or a dropped ssh session) first remove this process's temporary
// result files, then end the process by the same signal, as it would have
// ended without the handler (a shell shows 130, 143 or 129).

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
  struct sigaction previous_hangup_ {};
};

}  // namespace lf
