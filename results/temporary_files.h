#pragma once
// Temporary result files: their names, their locks, and their removal when
// the process is told to stop or was killed.
//
// Name: "." + host tag + "-" + process id + "-" + sequence number + ".part",
// e.g. ".5d1c0a7e-41234-7.part", in the matches folder. The host tag is FNV-1a 32
// of the host name in hexadecimal. Names are unique per process and host and
// short whatever the uuid, so a uuid that fits a result name fits here too.
//
// Every live temporary file is locked (see FileLock in platform/files.h)
// from its creation until it is renamed into place or removed, through a
// handle its creator keeps; the lock ends with the process, however it ends.
// A temporary file whose lock can be taken is therefore stale, whichever host,
// container or process-id namespace made it; remove_stale_temporary_files()
// removes those. Where the file system offers no locks, none is removed.
//
// Every live temporary file is also registered; remove_registered_temporary_files()
// unlinks them and may be called from a signal handler.

#include <cstdio>
#include <string>

#include "platform/files.h"

namespace lf {

// A fresh temporary file name in `folder` (a folder path ending in a separator).
std::string make_temporary_path(const std::string& folder);

// Creates `path` (exclusively) and registers it; null with errno set on failure.
std::FILE* create_registered_file(const std::string& path);

// Creates, registers and locks a fresh temporary file in `folder`; returns the
// stream to write it, `path` its name and `claim` the handle that holds its
// lock, to be kept open until the file is renamed into place or removed. Null
// with errno set (and `path` empty) on failure.
std::FILE* create_claimed_temporary(const std::string& folder, std::string& path, FilePtr& claim);

// Forgets a registered path: after it was renamed into place or removed.
void unregister_file(const std::string& path);

// Async-signal-safe: unlinks every registered file and makes later
// registrations wait for the process to end.
void remove_registered_temporary_files() noexcept;

// Removes the temporary files in `folder` whose lock no process holds;
// returns how many.
int remove_stale_temporary_files(const std::string& folder);

}  // namespace lf
