#include "app/run_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lf {
namespace {

// A whole decimal number and nothing else.
bool parse_count(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool parse_shard(const std::string& text, RunOptions& options, std::string& error) {
  const std::size_t slash = text.find('/');
  std::uint64_t index = 0, count = 0;
  if (slash == std::string::npos || !parse_count(text.substr(0, slash), index) ||
      !parse_count(text.substr(slash + 1), count) || index >= count) {
    error = "--shard expects K/N with 0 <= K < N, got \"" + text + "\"";
    return false;
  }
  options.shard_index = index;
  options.shard_count = count;
  return true;
}

bool parse_workers(const std::string& text, RunOptions& options, std::string& error) {
  std::uint64_t count = 0;
  if (!parse_count(text, count) || count < 1 || count > max_workers) {
    error = "--workers expects a whole number from 1 to " + std::to_string(max_workers) + ", got \"" + text + "\"";
    return false;
  }
  options.workers = static_cast<std::size_t>(count);
  return true;
}

}  // namespace

bool options_precede_arguments(int argc, const char* const* argv) {
  for (int i = 1; i < argc && i <= 2; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0) return true;
  }
  return false;
}

bool parse_run_options(int argc, const char* const* argv, RunOptions& options, std::string& error) {
  for (int i = 3; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--", 0) != 0) continue;
    if (argument == "--workers") {
      if (i + 1 >= argc) {
        error = "--workers expects a whole number from 1 to " + std::to_string(max_workers);
        return false;
      }
      if (!parse_workers(argv[++i], options, error)) return false;
      continue;
    }
    if (argument.rfind("--workers=", 0) == 0) {
      if (!parse_workers(argument.substr(10), options, error)) return false;
      continue;
    }
    options.given = true;
    if (argument == "--skip-done") {
      options.skip_done = true;
    } else if (argument == "--shard") {
      if (i + 1 >= argc) {
        error = "--shard expects K/N";
        return false;
      }
      if (!parse_shard(argv[++i], options, error)) return false;
    } else if (argument.rfind("--shard=", 0) == 0) {
      if (!parse_shard(argument.substr(8), options, error)) return false;
    } else {
      error = "unknown option " + argument;
      return false;
    }
  }
  return true;
}

std::uint64_t uuid_hash(const std::string& uuid) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : uuid) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool in_shard(const RunOptions& options, const std::string& uuid) {
  return uuid_hash(uuid) % options.shard_count == options.shard_index;
}

std::size_t default_workers(unsigned cores, std::uint64_t available_memory) {
  std::uint64_t workers = std::max(cores, 1u);
  if (available_memory != 0) workers = std::min(workers, available_memory / 2 / worker_memory);
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(workers, 1, max_workers));
}

}  // namespace lf
