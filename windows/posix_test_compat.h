#pragma once
// The few POSIX calls the on-disk unit tests use, over the Windows C runtime.

#ifndef _WIN32
#error "Only for the Windows build of the tests"
#endif

#include <direct.h>

// POSIX mkdir; Windows folders have no permission bits.
inline int mkdir(const char* path, int /*mode*/) { return _mkdir(path); }
