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
  if (std::getenv("TF_ENABLE_ONEDNN_OPTS") == nullptr) _putenv_s("TF_ENABLE_ONEDNN_OPTS", "1");
  return run_features(argc, argv, std::cout, std::cerr);
}

#else

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <iterator>
#include <optional>

namespace {

const char* const log_level_variable = "TF_CPP_MIN_LOG_LEVEL";
// TensorFlow reads it once, when it loads. Its oneDNN kernels run the default
// model about 1.5x faster on AVX2 CPUs, where TensorFlow leaves them off
// unless asked, with descriptors within 1e-6; on CPUs where it turns them on
// by itself this changes nothing.
const char* const onednn_variable = "TF_ENABLE_ONEDNN_OPTS";
// TensorFlow's level that hides its information and warning lines.
const char* const quiet_log_level = "3";
const char* const pipeline_library = "libfeature_run.so";
const char* const entry_point = "run_features";

using RunFeatures = int (*)(int, const char* const*, std::ostream&, std::ostream&);

std::string program_folder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/'));
}

// The capture and the real standard error while a CapturedStandardError
// lives; read by the handlers below, which may run at any moment of dlopen.
int captured_fd = -1;
int real_stderr_fd = -1;
volatile std::sig_atomic_t capturing = 0;

// Async-signal-safe: writes everything captured so far to the real standard error.
void replay_captured() noexcept {
  if (captured_fd < 0 || real_stderr_fd < 0 || lseek(captured_fd, 0, SEEK_SET) != 0) return;
  char block[4096];
  for (ssize_t length; (length = read(captured_fd, block, sizeof(block))) > 0;) {
    for (ssize_t done = 0; done < length;) {
      const ssize_t written = write(real_stderr_fd, block + done, static_cast<std::size_t>(length - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;
      done += written;
    }
  }
}

// A library that aborts or crashes while it loads takes the process with it:
// its reason is replayed first, then the signal ends the process as before
// (SA_RESETHAND has put the default action back).
extern "C" void replay_and_end(int signal_number) {
  replay_captured();
  std::raise(signal_number);
}

// A library that calls exit() while it loads.
extern "C" void replay_at_exit() {
  if (capturing) replay_captured();
}

const int fatal_signals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// Sends standard error to an in-memory file for as long as the object lives;
// replay() copies what was written there to the real standard error. Where no
// such file can be made, standard error goes to /dev/null and nothing is kept.
class CapturedStandardError {
 public:
  CapturedStandardError() : saved_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)) {
    if (saved_ < 0) return;
    int target = memfd_create("stderr-while-loading", MFD_CLOEXEC);
    if (target >= 0) {
      captured_fd = target;
      real_stderr_fd = saved_;
    } else {
      target = open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    if (target >= 0) dup2(target, STDERR_FILENO);
    if (target >= 0 && target != captured_fd) close(target);
    if (captured_fd < 0) return;
    static const bool registered = std::atexit(replay_at_exit) == 0;
    static_cast<void>(registered);
    struct sigaction action {};
    action.sa_handler = replay_and_end;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(fatal_signals); ++i) sigaction(fatal_signals[i], &action, &previous_[i]);
    capturing = 1;
  }
  ~CapturedStandardError() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    if (captured_fd >= 0) {
      capturing = 0;
      // A handler that a loaded library installed meanwhile stays.
      for (std::size_t i = 0; i < std::size(fatal_signals); ++i) {
        struct sigaction current {};
        if (sigaction(fatal_signals[i], nullptr, &current) == 0 && current.sa_handler == replay_and_end)
          sigaction(fatal_signals[i], &previous_[i], nullptr);
      }
      close(captured_fd);
      captured_fd = -1;
      real_stderr_fd = -1;
    }
    close(saved_);
  }
  CapturedStandardError(const CapturedStandardError&) = delete;
  CapturedStandardError& operator=(const CapturedStandardError&) = delete;

  void replay() const { replay_captured(); }

 private:
  int saved_;
  struct sigaction previous_[std::size(fatal_signals)] {};
};

// TensorFlow's libraries write log lines while they are being loaded, before
// any log level applies. Loading them here, rather than at program start, lets
// the program keep those lines off the console unless the user asked for
// TensorFlow's information lines (TF_CPP_MIN_LOG_LEVEL=0), or loading fails:
// then they are shown, since they may hold the reason.
RunFeatures load_pipeline() {
  setenv(log_level_variable, quiet_log_level, 0);
  // A value the user set stays.
  setenv(onednn_variable, "1", 0);
  const bool quiet = std::strcmp(std::getenv(log_level_variable), "0") != 0;
  const std::string library = program_folder() + "/" + pipeline_library;
  std::optional<CapturedStandardError> captured;
  if (quiet) captured.emplace();
  // The library stays loaded until the process ends.
  void* const handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* run = nullptr;
  if (handle != nullptr) {
    dlerror();
    run = dlsym(handle, entry_point);
  }
  if (run != nullptr) return reinterpret_cast<RunFeatures>(run);
  const char* const reason = dlerror();
  if (captured) captured->replay();
  captured.reset();
  std::cerr << "Error: " << (reason != nullptr ? reason : "cannot load " + library) << std::endl;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const RunFeatures run = load_pipeline();
  if (run == nullptr) return 1;
  return run(argc, argv, std::cout, std::cerr);
}

#endif
