// The portable cause of a failed C library call, from its errno: written
// once for both platform files (the names are the C library's on both).
#pragma once

#include <cerrno>

#include "platform/platform.h"

inline OsCause cause_of_errno(int error) {
  constexpr struct {
    int error;
    OsCause cause;
  } CAUSES[] = {
      {ENOENT, OsCause::MISSING},
      {ENOTDIR, OsCause::NOT_DIRECTORY},
      {ELOOP, OsCause::LINK_LOOP},
      {ENAMETOOLONG, OsCause::NAME_TOO_LONG},
      {EACCES, OsCause::PERMISSION},
      {EPERM, OsCause::PERMISSION},
      {EISDIR, OsCause::DIRECTORY},
      {ENXIO, OsCause::NOT_PLAIN},  // a socket, or a device without its hardware
      {ENODEV, OsCause::NOT_PLAIN},
      {EIO, OsCause::IO},
  };
  for (const auto& c : CAUSES) {
    if (c.error == error) return c.cause;
  }
  return OsCause::OTHER;
}
