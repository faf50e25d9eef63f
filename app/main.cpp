// The program's entry point. The pipeline itself lives in the shared library
// feature_run, which links TensorFlow; see load_pipeline for why it is loaded here.

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/feature_run.h"

#ifdef _WIN32

int main(int argc, char** argv) {
  if (std::getenv("TF_CPP_MIN_LOG_LEVEL") == nullptr) _putenv_s("TF_CPP_MIN_LOG_LEVEL", "3");
  return run_features(argc, argv, std::cout, std::cerr);
}

#else

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <optional>

namespace {

const char* const log_level_variable = "TF_CPP_MIN_LOG_LEVEL";
// TensorFlow's level that hides its information and warning lines.
const char* const quiet_log_level = "3";
const char* const pipeline_library = "libfeature_run.so";

using RunFeatures = int (*)(int, const char* const*, std::ostream&, std::ostream&);

std::string program_folder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/'));
}

// Sends standard error to /dev/null for as long as the object lives.
class MutedStandardError {
 public:
  MutedStandardError() : saved_(dup(STDERR_FILENO)) {
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
    if (null_fd >= 0) close(null_fd);
  }
  ~MutedStandardError() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  MutedStandardError(const MutedStandardError&) = delete;
  MutedStandardError& operator=(const MutedStandardError&) = delete;

 private:
  int saved_;
};

// TensorFlow's libraries write log lines while they are being loaded, before
// any log level applies. Loading them here, rather than at program start, lets
// the program keep those lines off the console unless the user asked for
// TensorFlow's information lines (TF_CPP_MIN_LOG_LEVEL=0).
RunFeatures load_pipeline() {
  setenv(log_level_variable, quiet_log_level, 0);
  const bool quiet = std::strcmp(std::getenv(log_level_variable), "0") != 0;
  const std::string library = program_folder() + "/" + pipeline_library;
  void* handle = nullptr;
  {
    std::optional<MutedStandardError> muted;
    if (quiet) muted.emplace();
    handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle == nullptr) {
    std::cerr << "Error: " << dlerror() << std::endl;
    return nullptr;
  }
  // The library stays loaded until the process ends.
  return reinterpret_cast<RunFeatures>(dlsym(handle, "run_features"));
}

}  // namespace

int main(int argc, char** argv) {
  const RunFeatures run = load_pipeline();
  if (run == nullptr) return 1;
  return run(argc, argv, std::cout, std::cerr);
}

#endif
