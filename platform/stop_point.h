#pragma once
// Test-only hook: a process whose LF_TEST_STOP_AT names a step stops itself
// (SIGSTOP) when it reaches that step, so that tests can kill or signal it at
// an exact point instead of after a guessed delay. Unset, it costs one
// comparison per call.

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace lf {

inline void stop_point(const char* step) {
#ifndef _WIN32
  static const char* const requested = std::getenv("LF_TEST_STOP_AT");
  if (requested != nullptr && std::strcmp(requested, step) == 0) std::raise(SIGSTOP);
#else
  static_cast<void>(step);
#endif
}

}  // namespace lf
