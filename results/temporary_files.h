#pragma once
// Temporary result files: their names, and their removal when the process is
// told to stop or was killed.
//
// Name: "." + host tag + "-" + process id + "-" + sequence number + ".part",
// e.g. ".5d1c0a7e-41234-7.part", in the matches folder. The host tag is FNV-1a 32
// of the host name in hexadecimal. Names are unique per process and host and
// short whatever the uuid, so a uuid that fits a result name fits here too.
//
// Every live temporary file is registered; remove_registered_temporary_files()
// unlinks them and may be called from a signal handler. A run also removes the
// files that a killed process of the same host left (its process id no longer
// exists); files of other hosts stay, since their owner may still be running.

#include <cstdio>
#include <string>

namespace lf {

// A fresh temporary file name in `folder` (a folder path ending in a separator).
std::string make_temporary_path(const std::string& folder);

// Creates `path` (exclusively) and registers it; null with errno set on failure.
std::FILE* create_registered_file(const std::string& path);

// Forgets a registered path: after it was renamed into place or removed.
void unregister_file(const std::string& path);

// Async-signal-safe: unlinks every registered file and makes later
// registrations wait for the process to end.
void remove_registered_temporary_files() noexcept;

// Removes temporary files in `folder` left by dead processes of this host;
// returns how many.
int remove_stale_temporary_files(const std::string& folder);

}  // namespace lf
