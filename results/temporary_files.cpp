#include "results/temporary_files.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/stop_point.h"

namespace lf {
namespace {

constexpr const char* temporary_suffix = ".part";

std::string host_tag() {
  const std::string name = host_name();
  std::uint32_t hash = 2166136261u;
  for (const char* c = name.c_str(); *c != '\0'; ++c) {
    hash ^= static_cast<unsigned char>(*c);
    hash *= 16777619u;
  }
  char tag[9];
  std::snprintf(tag, sizeof(tag), "%08x", static_cast<unsigned>(hash));
  return tag;
}

const std::string& this_host_tag() {
  static const std::string tag = host_tag();
  return tag;
}

// Fixed storage the signal handler can read without allocating. Slots are
// taken round-robin, so a slot the handler may be reading is not refilled
// while it does.
constexpr std::size_t slot_count = 16;
constexpr std::size_t max_path_length = 4095;
struct Slot {
  std::atomic<bool> live{false};
  char path[max_path_length + 1] = {};
};
std::array<Slot, slot_count> slots;
std::atomic<std::size_t> next_slot{0};
std::atomic<bool> terminating{false};

bool register_path(const std::string& native) {
  if (native.size() > max_path_length) return false;
  for (std::size_t tried = 0; tried < slot_count; ++tried) {
    Slot& slot = slots[next_slot.fetch_add(1) % slot_count];
    if (slot.live.load()) continue;
    std::memcpy(slot.path, native.c_str(), native.size() + 1);
    slot.live.store(true);
    return true;
  }
  return false;
}

bool is_decimal(const std::string& text, std::size_t from, std::size_t to) {
  return from < to && std::all_of(text.begin() + from, text.begin() + to, [](char c) { return c >= '0' && c <= '9'; });
}

// "." + 8 hexadecimal digits + "-" + digits + "-" + digits + ".part".
bool is_temporary_name(const std::string& name) {
  const std::size_t suffix_length = std::strlen(temporary_suffix);
  if (name.size() < 1 + 8 + 4 + suffix_length || name[0] != '.' || name[9] != '-' ||
      name.compare(name.size() - suffix_length, suffix_length, temporary_suffix) != 0)
    return false;
  if (!std::all_of(name.begin() + 1, name.begin() + 9, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return false;
  const std::size_t end = name.size() - suffix_length;
  const std::size_t dash = name.find('-', 10);
  return dash < end && is_decimal(name, 10, dash) && is_decimal(name, dash + 1, end);
}

// The lock answers for other processes; this one knows its own files.
bool is_own_name(const std::string& name) {
  const std::string prefix = "." + this_host_tag() + "-" + std::to_string(current_process_id()) + "-";
  return name.compare(0, prefix.size(), prefix) == 0;
}

// A handle holding the lock of the file just created at `path` through
// `created`; null when a cleaner took the lock first or the name no longer
// names that file (a cleaner removed it between its creation and now).
FilePtr claim_created(const std::string& path, std::FILE* created) {
  FilePtr claim = open_lock_handle(path);
  stop_point("before_lock");
  if (!claim || try_lock_exclusive(claim.get()) == FileLock::busy || !path_names_open_file(path, created) ||
      !path_names_open_file(path, claim.get()))
    return nullptr;
  return claim;
}

}  // namespace

std::string make_temporary_path(const std::string& folder) {
  static std::atomic<unsigned long long> sequence{0};
  return folder + "." + this_host_tag() + "-" + std::to_string(current_process_id()) + "-" +
         std::to_string(sequence.fetch_add(1)) + temporary_suffix;
}

std::FILE* create_registered_file(const std::string& path) {
  // The registry keeps the system's form: the stop handler removes by it.
  const std::string native = native_path(path);
  const bool registered = register_path(native);
  std::FILE* file = create_new_file(path);
  if (file == nullptr) {
    const int error = errno;
    if (registered) unregister_file(path);
    errno = error;
    return nullptr;
  }
  if (terminating.load()) {
    // A stop signal is being handled: this file would outlive its cleanup.
    std::fclose(file);
    remove_file_now(native.c_str());
    wait_forever();
  }
  return file;
}

std::FILE* create_claimed_temporary(const std::string& folder, std::string& path, FilePtr& claim) {
  // A new name after a lost race: the cleaner that won removes the file.
  for (int attempt = 0; attempt < 3; ++attempt) {
    path = make_temporary_path(folder);
    FilePtr file(create_registered_file(path));
    if (!file) {
      path.clear();
      return nullptr;
    }
    claim = claim_created(path, file.get());
    if (claim) return file.release();
    if (path_names_open_file(path, file.get())) remove_file(path);
    unregister_file(path);
  }
  path.clear();
  errno = EAGAIN;
  return nullptr;
}

void unregister_file(const std::string& path) {
  const std::string native = native_path(path);
  for (Slot& slot : slots) {
    if (slot.live.load() && native == slot.path) slot.live.store(false);
  }
}

void remove_registered_temporary_files() noexcept {
  terminating.store(true);
  for (Slot& slot : slots) {
    if (slot.live.load()) remove_file_now(slot.path);
  }
}

int remove_stale_temporary_files(const std::string& folder) {
  int removed = 0;
  for (const std::string& name : folder_entry_names(folder)) {
    if (!is_temporary_name(name) || is_own_name(name)) continue;
    const std::string path = native_path(folder + name);
    // Held until the file is gone: no creator can claim it meanwhile.
    const FilePtr handle = open_lock_handle(path);
    if (!handle || try_lock_exclusive(handle.get()) != FileLock::taken || !path_names_open_file(path, handle.get()))
      continue;
    if (remove_file_now(path.c_str())) ++removed;
  }
  return removed;
}

}  // namespace lf
