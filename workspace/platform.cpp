#include "workspace/platform.h"

// The parts common to every system; the system calls themselves are in
// platform_posix.cpp and platform_windows.cpp.

namespace lf {

namespace {
const Platform* platform_in_use = nullptr;
}  // namespace

const Platform& current_platform() {
  return platform_in_use != nullptr ? *platform_in_use : system_platform();
}

ScopedPlatform::ScopedPlatform(const Platform& platform) : previous_(platform_in_use) {
  platform_in_use = &platform;
}

ScopedPlatform::~ScopedPlatform() { platform_in_use = previous_; }

}  // namespace lf
