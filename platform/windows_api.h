// The Windows API as every Windows file of the project includes it: without
// the rarely used parts of <windows.h>, and without its min and max macros,
// which would break std::min and std::max.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
