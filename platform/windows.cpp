// The platform layer on Windows. The program runs with UTF-8 as its ANSI code
// page (its manifest asks for it), so the C runtime's narrow calls take the
// same UTF-8 paths as on Linux; the calls below that the runtime lacks use the
// wide API on converted paths.

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/program_start.h"

#include <windows.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace lf {

namespace {

// Longest directory text _getdcwd may return, terminator included.
constexpr int drive_directory_buffer_length = 261;

class RuntimePlatform final : public Platform {
 public:
  bool drive_current_directory(int drive, std::string& directory) const override {
    char buffer[drive_directory_buffer_length];
    if (_getdcwd(drive, buffer, drive_directory_buffer_length) == nullptr) return false;
    directory = buffer;
    return true;
  }
  int current_drive() const override { return _getdrive(); }
  int file_type(const std::string& path) const override {
    struct _stat64i32 status;
    if (_stat64i32(path.c_str(), &status) != 0) return -1;
    return status.st_mode & 0xF000;
  }
  int make_folder(const std::string& path) const override { return _mkdir(path.c_str()); }
};

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length);
  return result;
}

std::string utf8(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string result(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), length, nullptr, nullptr);
  result.pop_back();
  return result;
}

// errno for the calling thread's last Windows error, as the C runtime maps it.
void set_errno_from_last_error() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: errno = ENOENT; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: errno = EACCES; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    default: errno = EIO; break;
  }
}

// The system's text for a Windows error, on one line.
std::string system_message(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
      0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 ? utf8(text) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message;
}

template <typename Function>
Function exported(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

const Platform& system_platform() {
  static const RuntimePlatform platform;
  return platform;
}

std::string native_path(const std::string& path) { return path; }

bool replace_file(const std::string& from, const std::string& to) {
  if (MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  set_errno_from_last_error();
  return false;
}

namespace {

// A C stream owning `handle` (binary, with `access` and `mode`); null, with
// errno set, when the handle is invalid or cannot be wrapped.
std::FILE* stream_over(HANDLE handle, int access, const char* mode) {
  if (handle == INVALID_HANDLE_VALUE) {
    set_errno_from_last_error();
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), access | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* const file = _fdopen(fd, mode);
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace

std::FILE* create_new_file(const std::string& path) {
  const std::string native = native_path(path);
  // CREATE_NEW: never take over a file that is already there. Others may
  // delete or rename it while it is open, as on POSIX.
  const HANDLE handle = CreateFileW(wide(native).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return stream_over(handle, _O_WRONLY, "wb");
}

bool remove_file_now(const char* native) noexcept {
  // No allocation: this runs while the process is being stopped.
  wchar_t path[32768];
  if (MultiByteToWideChar(CP_UTF8, 0, native, -1, path, 32768) == 0) return false;
  return DeleteFileW(path) != 0;
}

std::vector<std::string> folder_entry_names(const std::string& folder) {
  std::vector<std::string> names;
  std::string pattern = native_path(folder);
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW(wide(pattern + "*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = utf8(entry.cFileName);
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return names;
}

long current_process_id() { return static_cast<long>(GetCurrentProcessId()); }

unsigned available_cores() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    unsigned count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? static_cast<unsigned>(active) : 1;
}

std::uint64_t available_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof(status);
  return GlobalMemoryStatusEx(&status) ? static_cast<std::uint64_t>(status.ullAvailPhys) : 0;
}

std::string host_name() {
  wchar_t name[256] = {};
  DWORD length = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &length)) return "";
  return utf8(name);
}

namespace {

// Windows locks are mandatory for the bytes they cover: every lock here covers
// one byte far beyond any data, where it conflicts only with other locks.
constexpr DWORD lock_offset_high = 0x7FFFFFFF;

bool lock_far_byte(HANDLE handle, DWORD flags) {
  OVERLAPPED far_byte{};
  far_byte.OffsetHigh = lock_offset_high;
  return LockFileEx(handle, flags, 0, 1, 0, &far_byte) != 0;
}

HANDLE handle_of(std::FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

}  // namespace

ScopedFileLock::ScopedFileLock(const std::string& path, bool exclusive)
    : handle_(reinterpret_cast<std::intptr_t>(
          CreateFileW(wide(native_path(path)).c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr))) {
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  if (handle != INVALID_HANDLE_VALUE) lock_far_byte(handle, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
}

ScopedFileLock::~ScopedFileLock() {
  // Closing the handle releases the lock.
  const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

FilePtr open_lock_handle(const std::string& path) {
  // Others may still rename or remove the file while this handle is open, as on POSIX.
  const HANDLE handle = CreateFileW(wide(native_path(path)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return FilePtr(stream_over(handle, _O_RDONLY, "rb"));
}

FileLock try_lock_exclusive(std::FILE* handle) {
  if (lock_far_byte(handle_of(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) return FileLock::taken;
  const DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? FileLock::busy : FileLock::unsupported;
}

bool path_names_open_file(const std::string& path, std::FILE* handle) {
  BY_HANDLE_FILE_INFORMATION open_file{}, named_file{};
  if (!GetFileInformationByHandle(handle_of(handle), &open_file)) return false;
  // A removed file that is still open cannot be opened by its name any more.
  const HANDLE named = CreateFileW(wide(native_path(path)).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  const bool same = GetFileInformationByHandle(named, &named_file) &&
                    open_file.dwVolumeSerialNumber == named_file.dwVolumeSerialNumber &&
                    open_file.nFileIndexHigh == named_file.nFileIndexHigh &&
                    open_file.nFileIndexLow == named_file.nFileIndexLow;
  CloseHandle(named);
  return same;
}

void wait_forever() noexcept {
  for (;;) Sleep(INFINITE);
}

// --- Stop requests ---

namespace {

std::atomic<StopRequestHandler::Cleanup> stop_cleanup{nullptr};

// Runs on a thread the system starts for the event. Returning FALSE passes the
// event on to the default handler, which ends the process as it would have
// without this one (exit code 0xC000013A; the close event ends it anyway).
BOOL WINAPI clean_up_then_stop(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      const StopRequestHandler::Cleanup cleanup = stop_cleanup.load();
      if (cleanup != nullptr) cleanup();
      return FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

struct StopRequestHandler::Saved {};

StopRequestHandler::StopRequestHandler(Cleanup cleanup) : saved_(new Saved) {
  stop_cleanup.store(cleanup);
  SetConsoleCtrlHandler(clean_up_then_stop, TRUE);
}

StopRequestHandler::~StopRequestHandler() { SetConsoleCtrlHandler(clean_up_then_stop, FALSE); }

// --- Program start ---

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> result;
  for (int i = 0; i < count; ++i) result.push_back(utf8(arguments[i]));
  LocalFree(arguments);
  return result;
}

// The Windows heap has no such switch: large blocks come and go as on an
// untuned Linux heap.
void reuse_freed_memory() {}

void set_environment_default(const char* name, const char* value) {
  if (std::getenv(name) != nullptr) return;
  _putenv_s(name, value);
  // The process environment too: TensorFlow's C runtime (the Universal CRT)
  // copies it when it starts, or, where it runs already, gets it directly.
  SetEnvironmentVariableA(name, value);
  using PutEnvironment = int(__cdecl*)(const char*, const char*);
  if (const HMODULE runtime = GetModuleHandleW(L"ucrtbase.dll")) {
    if (const auto put = exported<PutEnvironment>(runtime, "_putenv_s")) put(name, value);
  }
}

std::string path_beside_program(const std::string& file_name) {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (length == 0 || length >= path.size()) return ".\\" + file_name;
  path.resize(length);
  const std::string program = utf8(path.c_str());
  return program.substr(0, program.find_last_of("\\/") + 1) + file_name;
}

std::string shared_library_file_name(const std::string& name) { return "lib" + name + ".dll"; }

namespace {

// What standard error received while a library loaded, held in a temporary
// file that the system deletes when it is closed. Two C runtimes may write
// there: the program's own (msvcrt, untouched: nothing of the program writes
// while the library loads) and the Universal CRT of TensorFlow's DLL, which
// takes the process's standard error handle when it starts, or is switched
// over when it runs already (under wine msvcrt starts it).
class CapturedStandardError {
 public:
  CapturedStandardError() : original_(GetStdHandle(STD_ERROR_HANDLE)) {
    if (original_ == nullptr || original_ == INVALID_HANDLE_VALUE) return;
    wchar_t folder[MAX_PATH + 1], path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"lf", 0, path) == 0) return;
    capture_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (capture_ == INVALID_HANDLE_VALUE) return;
    // A runtime that is switched over closes the handle it had, which may be
    // the very handle the program's own runtime writes to.
    SetHandleInformation(original_, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    runtime_was_running_ = GetModuleHandleW(L"ucrtbase.dll") != nullptr;
    if (runtime_was_running_) point_runtime_stderr_at(capture_);
    // A copy for a runtime that starts while the library loads, which keeps it.
    for_new_runtime_ = duplicate(capture_);
    SetStdHandle(STD_ERROR_HANDLE, for_new_runtime_);
    active_ = this;
    previous_filter_ = SetUnhandledExceptionFilter(replay_on_crash);
  }
  ~CapturedStandardError() {
    if (capture_ == INVALID_HANDLE_VALUE) return;
    SetUnhandledExceptionFilter(previous_filter_);
    active_ = nullptr;
    const bool runtime_started = !runtime_was_running_ && GetModuleHandleW(L"ucrtbase.dll") != nullptr;
    flush_runtime_streams();
    point_runtime_stderr_at(original_);
    SetStdHandle(STD_ERROR_HANDLE, original_);
    SetHandleInformation(original_, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    // A runtime that started took the copy and has closed it just now.
    if (!runtime_started && for_new_runtime_ != nullptr) CloseHandle(for_new_runtime_);
    CloseHandle(capture_);
  }
  CapturedStandardError(const CapturedStandardError&) = delete;
  CapturedStandardError& operator=(const CapturedStandardError&) = delete;

  void replay() const {
    flush_runtime_streams();
    if (capture_ == INVALID_HANDLE_VALUE || SetFilePointer(capture_, 0, nullptr, FILE_BEGIN) != 0) return;
    char block[4096];
    DWORD length = 0, written = 0;
    while (ReadFile(capture_, block, sizeof(block), &length, nullptr) && length > 0)
      WriteFile(original_, block, length, &written, nullptr);
  }

 private:
  static HANDLE duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return nullptr;
    return copy;
  }

  // What the Universal CRT holds in its stream buffers goes where its
  // descriptors point now.
  static void flush_runtime_streams() {
    const HMODULE runtime = GetModuleHandleW(L"ucrtbase.dll");
    using Flush = int(__cdecl*)(std::FILE*);
    if (runtime == nullptr) return;
    if (const auto flush = exported<Flush>(runtime, "fflush")) flush(nullptr);
  }

  // Makes the Universal CRT's descriptor 2, where that runtime runs, write to a
  // copy of `target`.
  static void point_runtime_stderr_at(HANDLE target) {
    const HMODULE runtime = GetModuleHandleW(L"ucrtbase.dll");
    if (runtime == nullptr) return;
    using OpenHandle = int(__cdecl*)(std::intptr_t, int);
    using Duplicate = int(__cdecl*)(int, int);
    using Close = int(__cdecl*)(int);
    const auto open_handle = exported<OpenHandle>(runtime, "_open_osfhandle");
    const auto duplicate_descriptor = exported<Duplicate>(runtime, "_dup2");
    const auto close = exported<Close>(runtime, "_close");
    if (open_handle == nullptr || duplicate_descriptor == nullptr || close == nullptr) return;
    const HANDLE copy = duplicate(target);
    if (copy == nullptr) return;
    const int fd = open_handle(reinterpret_cast<std::intptr_t>(copy), _O_TEXT);
    if (fd < 0) {
      CloseHandle(copy);
      return;
    }
    duplicate_descriptor(fd, 2);
    close(fd);
  }

  // A library that crashes while it loads: its reason is shown first.
  static LONG WINAPI replay_on_crash(EXCEPTION_POINTERS*) {
    if (active_ != nullptr) active_->replay();
    return EXCEPTION_CONTINUE_SEARCH;
  }

  static inline const CapturedStandardError* active_ = nullptr;
  HANDLE original_;
  HANDLE capture_ = INVALID_HANDLE_VALUE;
  HANDLE for_new_runtime_ = nullptr;
  bool runtime_was_running_ = false;
  LPTOP_LEVEL_EXCEPTION_FILTER previous_filter_ = nullptr;
};

}  // namespace

void* load_library_symbol(const std::string& path, const char* symbol, bool quiet, std::string& reason) {
  std::unique_ptr<CapturedStandardError> captured;
  if (quiet) captured = std::make_unique<CapturedStandardError>();
  // The library's own DLLs are searched for beside it first.
  const HMODULE library = LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (library == nullptr) {
    reason = path + ": " + system_message(GetLastError());
  } else {
    void* const found = reinterpret_cast<void*>(GetProcAddress(library, symbol));
    if (found != nullptr) return found;
    reason = path + ": undefined symbol: " + symbol;
  }
  if (captured) captured->replay();
  return nullptr;
}

// --- Memory and foreign code ---

void* allocate_aligned(std::size_t alignment, std::size_t size) noexcept { return _aligned_malloc(size, alignment); }

void free_aligned(void* data) noexcept { _aligned_free(data); }

namespace {

// A call on its worker thread; the filter below finds it by the thread id.
struct GuardedCall {
  const std::function<void()>* call = nullptr;
  DWORD thread_id = 0;
  bool threw = false;
  std::string failure;
};
std::atomic<GuardedCall*> guarded_call{nullptr};

// The Visual C++ runtime's description of a thrown object (x64: offsets from
// the image base of the module that threw).
constexpr DWORD visual_cpp_exception = 0xE06D7363;
constexpr ULONG_PTR visual_cpp_magic = 0x19930520;
struct ThrowInfo {
  std::uint32_t attributes;
  std::int32_t unwind;
  std::int32_t forward_compat;
  std::int32_t catchable_types;
};
struct CatchableType {
  std::uint32_t properties;
  std::int32_t type;
  std::int32_t member_offset;
  std::int32_t vbtable_offset;
  std::int32_t vbase_offset;
  std::uint32_t size;
  std::int32_t copy_function;
};
struct TypeDescriptor {
  const void* vftable;
  void* spare;
  char name[1];
};

// The message of a Visual C++ std::exception, by its virtual what() (the
// second entry of its table); otherwise the exception's code.
std::string describe_exception(const EXCEPTION_RECORD& record) {
  char code[32];
  std::snprintf(code, sizeof(code), "exception 0x%08lX", static_cast<unsigned long>(record.ExceptionCode));
  if (record.ExceptionCode != visual_cpp_exception || record.NumberParameters < 4 ||
      record.ExceptionInformation[0] != visual_cpp_magic || record.ExceptionInformation[2] == 0)
    return code;
  auto* const object = reinterpret_cast<char*>(record.ExceptionInformation[1]);
  const auto* const info = reinterpret_cast<const ThrowInfo*>(record.ExceptionInformation[2]);
  const auto base = static_cast<std::uintptr_t>(record.ExceptionInformation[3]);
  const auto* const types = reinterpret_cast<const std::int32_t*>(base + static_cast<std::uint32_t>(info->catchable_types));
  for (std::int32_t i = 0; i < types[0]; ++i) {
    const auto* const type = reinterpret_cast<const CatchableType*>(base + static_cast<std::uint32_t>(types[1 + i]));
    const auto* const descriptor = reinterpret_cast<const TypeDescriptor*>(base + static_cast<std::uint32_t>(type->type));
    if (std::strcmp(descriptor->name, ".?AVexception@std@@") != 0 || type->vbtable_offset != -1) continue;
    void* const exception = object + type->member_offset;
    using What = const char* (*)(void*);
    const What what = (*reinterpret_cast<What* const*>(exception))[1];
    const char* const message = what(exception);
    return message != nullptr ? message : code;
  }
  return code;
}

// An exception that nothing on the worker thread caught: its message is kept
// and only that thread ends. Other threads' exceptions go on as before.
LONG WINAPI end_guarded_thread(EXCEPTION_POINTERS* pointers) {
  GuardedCall* const call = guarded_call.load();
  if (call == nullptr || GetCurrentThreadId() != call->thread_id) return EXCEPTION_CONTINUE_SEARCH;
  call->threw = true;
  call->failure = describe_exception(*pointers->ExceptionRecord);
  ExitThread(1);
}

DWORD WINAPI run_on_worker(void* parameter) {
  auto* const call = static_cast<GuardedCall*>(parameter);
  try {
    (*call->call)();
  } catch (const std::exception& error) {
    call->threw = true;
    call->failure = error.what();
  }
  return 0;
}

}  // namespace

bool run_guarded_call(const std::function<void()>& call, std::string& failure) {
  GuardedCall guarded;
  guarded.call = &call;
  // Generous stack: the library parses nested graph definitions.
  constexpr SIZE_T stack_reserve = 64u << 20;
  const HANDLE thread = CreateThread(nullptr, stack_reserve, run_on_worker, &guarded,
                                     CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &guarded.thread_id);
  if (thread == nullptr) {
    failure = "cannot start a thread: " + system_message(GetLastError());
    return false;
  }
  guarded_call.store(&guarded);
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(end_guarded_thread);
  ResumeThread(thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  SetUnhandledExceptionFilter(previous);
  guarded_call.store(nullptr);
  if (guarded.threw) failure = guarded.failure;
  return !guarded.threw;
}

}  // namespace lf

// OpenCV's SIFT derives its scale-space sigmas from powers of 2^(1/3). The C
// runtime's pow differs between Windows versions and wine, and from glibc's
// in the last bits of those values, which moves some keypoint sizes by a
// float step from the Linux build's. Through the x87's extended precision,
// pow gives glibc's values there, whichever runtime the program meets.
extern "C" double pow(double base, double exponent) {
  return static_cast<double>(powl(static_cast<long double>(base), static_cast<long double>(exponent)));
}
