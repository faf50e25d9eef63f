#pragma once
// The whole run of the program: arguments, workspace, model, capture list, and
// one pass over the captures. Returns the process exit code (0 after the
// success line, 1 after any reported failure).

#include <iosfwd>

namespace lf {
class PipelineObserver;

// run_features with an observer of the pipeline (null for none).
int run_program(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                PipelineObserver* observer);
}  // namespace lf

// C linkage: the program looks it up by name in the shared library.
extern "C" int run_features(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
