// The primitives that are the same on every platform: written once over the
// per-platform calls of platform/posix.cpp and platform/windows.cpp.
#include "platform/platform.h"

#include <ctime>

int os_open_plain(const char* path, OsCause* cause) {
  const int fd = os_open_read(path, cause);
  if (fd < 0) return PLATFORM_NO_FILE;
  const OsCause plain = os_plain_file_cause(fd);
  if (plain == OsCause::NONE) return fd;
  if (cause != nullptr) *cause = plain;
  os_close(fd);
  return PLATFORM_NO_FILE;
}

std::int64_t os_clock_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }
