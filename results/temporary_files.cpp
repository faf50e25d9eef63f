#include "results/temporary_files.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>

#include "workspace/platform.h"

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

// The process id in a temporary name of this host, or -1.
long owner_on_this_host(const std::string& name) {
  const std::string prefix = "." + this_host_tag() + "-";
  const std::size_t suffix_length = std::strlen(temporary_suffix);
  if (name.size() <= prefix.size() + suffix_length || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix_length, suffix_length, temporary_suffix) != 0)
    return -1;
  const std::size_t dash = name.find('-', prefix.size());
  if (dash == std::string::npos || dash == prefix.size() || dash > prefix.size() + 9) return -1;
  long pid = 0;
  for (std::size_t i = prefix.size(); i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    pid = pid * 10 + (name[i] - '0');
  }
  return pid;
}

}  // namespace

std::string make_temporary_path(const std::string& folder) {
  static std::atomic<unsigned long long> sequence{0};
  return folder + "." + this_host_tag() + "-" + std::to_string(current_process_id()) + "-" +
         std::to_string(sequence.fetch_add(1)) + temporary_suffix;
}

std::FILE* create_registered_file(const std::string& path) {
  const std::string native = native_path(path);
  const bool registered = register_path(native);
  std::FILE* file = create_new_file(native);
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
  const std::string native = native_path(folder);
  int removed = 0;
  for (const std::string& name : folder_entry_names(native)) {
    const long pid = owner_on_this_host(name);
    if (pid <= 0 || pid == current_process_id() || !process_is_gone(pid)) continue;
    if (remove_file_now((native + name).c_str())) ++removed;
  }
  return removed;
}

}  // namespace lf
