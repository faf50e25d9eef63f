#pragma once
// While a StopSignalCleanup lives, a request to stop the process (SIGINT,
// SIGTERM and SIGHUP, a closed terminal or a dropped ssh session; the
// console's Ctrl+C, Ctrl+Break and close events on Windows) first removes this
// process's temporary result files, then ends the process as it would have
// ended without the handler (a shell shows 130, 143 or 129).

#include "platform/process.h"

namespace lf {

class StopSignalCleanup {
 public:
  StopSignalCleanup();

 private:
  StopRequestHandler handler_;
};

}  // namespace lf
