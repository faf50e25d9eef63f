// The platform layer on POSIX systems (Linux).

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/program_start.h"

#include <dirent.h>
#include <sched.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>

namespace lf {

namespace {

class RuntimePlatform final : public Platform {
 public:
  bool drive_current_directory(int, std::string&) const override { return false; }
  int current_drive() const override { return 0; }
  int file_type(const std::string& path) const override {
    struct stat status;
    if (::stat(native_path(path).c_str(), &status) != 0) return -1;
    return status.st_mode & 0xF000;
  }
  int make_folder(const std::string& path) const override {
    return ::mkdir(native_path(path).c_str(), 0777);
  }
};

}  // namespace

const Platform& system_platform() {
  static const RuntimePlatform platform;
  return platform;
}

std::string native_path(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

bool replace_file(const std::string& from, const std::string& to) {
  return std::rename(native_path(from).c_str(), native_path(to).c_str()) == 0;
}

std::FILE* create_new_file(const std::string& path) {
  // "x": never take over a file that is already there.
  return std::fopen(native_path(path).c_str(), "wbx");
}

bool remove_file_now(const char* native) noexcept { return unlink(native) == 0; }

std::vector<std::string> folder_entry_names(const std::string& folder) {
  std::vector<std::string> names;
  DIR* const listing = opendir(native_path(folder).c_str());
  if (listing == nullptr) return names;
  for (dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  return names;
}

long current_process_id() { return static_cast<long>(getpid()); }

unsigned available_cores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof(cores), &cores) == 0 && CPU_COUNT(&cores) > 0)
    return static_cast<unsigned>(CPU_COUNT(&cores));
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

std::uint64_t available_memory() {
  // MemAvailable counts the page cache the kernel would give back.
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kilobytes = 0;
  while (meminfo >> key >> kilobytes) {
    if (key == "MemAvailable:") return kilobytes * 1024;
    meminfo.ignore(64, '\n');
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
  return pages > 0 && page_size > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) : 0;
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) name[0] = '\0';
  return name;
}

ScopedFileLock::ScopedFileLock(const std::string& path, bool exclusive)
    : handle_(::open(native_path(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  while (flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
  }
}

ScopedFileLock::~ScopedFileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

FilePtr open_lock_handle(const std::string& path) {
  return FilePtr(std::fopen(native_path(path).c_str(), "rbe"));
}

FileLock try_lock_exclusive(std::FILE* handle) {
  for (;;) {
    if (flock(fileno(handle), LOCK_EX | LOCK_NB) == 0) return FileLock::taken;
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK ? FileLock::busy : FileLock::unsupported;
  }
}

bool path_names_open_file(const std::string& path, std::FILE* handle) {
  struct stat open_file {}, named_file {};
  return fstat(fileno(handle), &open_file) == 0 && ::lstat(native_path(path).c_str(), &named_file) == 0 &&
         open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

void wait_forever() noexcept {
  for (;;) pause();
}

// --- Stop requests ---

namespace {

const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<StopRequestHandler::Cleanup> stop_cleanup{nullptr};

// Runs on whichever thread takes the signal; the cleanup must be
// async-signal-safe. SA_RESETHAND has restored the default action, so the
// raised signal ends the process (a shell shows 130, 143 or 129).
void clean_up_then_stop(int signal_number) {
  const StopRequestHandler::Cleanup cleanup = stop_cleanup.load();
  if (cleanup != nullptr) cleanup();
  std::raise(signal_number);
}

}  // namespace

struct StopRequestHandler::Saved {
  struct sigaction previous[std::size(stop_signals)] {};
};

StopRequestHandler::StopRequestHandler(Cleanup cleanup) : saved_(new Saved) {
  stop_cleanup.store(cleanup);
  struct sigaction action {};
  action.sa_handler = clean_up_then_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (std::size_t i = 0; i < std::size(stop_signals); ++i) {
    // A signal ignored at start (nohup, a background job of a script) stays
    // ignored: whoever started the run asked it to outlive that signal.
    sigaction(stop_signals[i], nullptr, &saved_->previous[i]);
    if (saved_->previous[i].sa_handler != SIG_IGN) sigaction(stop_signals[i], &action, nullptr);
  }
}

StopRequestHandler::~StopRequestHandler() {
  for (std::size_t i = 0; i < std::size(stop_signals); ++i) sigaction(stop_signals[i], &saved_->previous[i], nullptr);
}

// --- Program start ---

std::vector<std::string> utf8_arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void set_environment_default(const char* name, const char* value) { setenv(name, value, 0); }

std::string path_beside_program(const std::string& file_name) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return "./" + file_name;
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/') + 1) + file_name;
}

std::string shared_library_file_name(const std::string& name) { return "lib" + name + ".so"; }

namespace {

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

}  // namespace

void* load_library_symbol(const std::string& path, const char* symbol, bool quiet, std::string& reason) {
  std::optional<CapturedStandardError> captured;
  if (quiet) captured.emplace();
  void* const handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* found = nullptr;
  if (handle != nullptr) {
    dlerror();
    found = dlsym(handle, symbol);
  }
  if (found != nullptr) return found;
  const char* const error = dlerror();
  reason = error != nullptr ? error : "cannot load " + path;
  if (captured) captured->replay();
  return nullptr;
}

// --- Memory and foreign code ---

void* allocate_aligned(std::size_t alignment, std::size_t size) noexcept {
  return std::aligned_alloc(alignment, size);
}

void free_aligned(void* data) noexcept { std::free(data); }

bool run_guarded_call(const std::function<void()>& call, std::string& failure) {
  try {
    call();
  } catch (const std::exception& error) {
    failure = error.what();
    return false;
  }
  return true;
}

}  // namespace lf
