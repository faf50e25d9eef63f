#include "app/stop_signals.h"

#include "results/temporary_files.h"

namespace lf {
namespace {

// Runs on whichever thread takes the signal; everything it calls is
// async-signal-safe. SA_RESETHAND has restored the default action, so the
// raised signal ends the process.
void remove_files_then_stop(int signal_number) {
  remove_registered_temporary_files();
  std::raise(signal_number);
}

}  // namespace

StopSignalCleanup::StopSignalCleanup() {
  struct sigaction action {};
  action.sa_handler = remove_files_then_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, &previous_interrupt_);
  sigaction(SIGTERM, &action, &previous_terminate_);
  sigaction(SIGHUP, &action, &previous_hangup_);
}

StopSignalCleanup::~StopSignalCleanup() {
  sigaction(SIGINT, &previous_interrupt_, nullptr);
  sigaction(SIGTERM, &previous_terminate_, nullptr);
  sigaction(SIGHUP, &previous_hangup_, nullptr);
}

}  // namespace lf
