// The program's entry point. The pipeline itself lives in the shared library
// feature_run, which links TensorFlow; see load_pipeline for why it is loaded here.

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/feature_run.h"
#include "platform/program_start.h"

namespace {

const char* const log_level_variable = "TF_CPP_MIN_LOG_LEVEL";
// TensorFlow reads it once, when it loads. Its oneDNN kernels run the default
// model about 1.5x faster on AVX2 CPUs, where TensorFlow leaves them off
// unless asked, with descriptors within 1e-6; on CPUs where it turns them on
// by itself this changes nothing.
const char* const onednn_variable = "TF_ENABLE_ONEDNN_OPTS";
// TensorFlow's level that hides its information and warning lines.
const char* const quiet_log_level = "3";
const char* const entry_point = "run_features";

using RunFeatures = int (*)(int, const char* const*, std::ostream&, std::ostream&);

// TensorFlow's libraries write log lines while they are being loaded, before
// any log level applies. Loading them here, rather than at program start, lets
// the program keep those lines off the console unless the user asked for
// TensorFlow's information lines (TF_CPP_MIN_LOG_LEVEL=0), or loading fails:
// then they are shown, since they may hold the reason.
RunFeatures load_pipeline() {
  lf::set_environment_default(log_level_variable, quiet_log_level);
  // A value the user set stays.
  lf::set_environment_default(onednn_variable, "1");
  const bool quiet = std::strcmp(std::getenv(log_level_variable), "0") != 0;
  const std::string library = lf::path_beside_program(lf::shared_library_file_name("feature_run"));
  std::string reason;
  void* const run = lf::load_library_symbol(library, entry_point, quiet, reason);
  if (run != nullptr) return reinterpret_cast<RunFeatures>(run);
  std::cerr << "Error: " << reason << std::endl;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const RunFeatures run = load_pipeline();
  if (run == nullptr) return 1;
  const std::vector<std::string> arguments = lf::utf8_arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  return run(static_cast<int>(pointers.size()), pointers.data(), std::cout, std::cerr);
}
