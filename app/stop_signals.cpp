#include "app/stop_signals.h"

#include "results/temporary_files.h"

namespace lf {

StopSignalCleanup::StopSignalCleanup() : handler_(remove_registered_temporary_files) {}

}  // namespace lf
