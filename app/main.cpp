// zmrgen's entry: runs the generator, prints the closing line, waits for a
// key and exits with the run's status.
#include <cstdint>
#include <cstdio>

#include "app/driver.h"
#include "platform/platform.h"

namespace {

int run(int argc, const char* const* argv) {
  console_init();
  const std::int32_t status = run_generator(argc, argv);
  std::fputs("\nDone.  Press any key to quit.\n", stdout);
  wait_for_key();
  // The whole 32-bit status: Windows passes all of it on; POSIX shells see
  // its low 8 bits.
  return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return run(argc, console_utf8_arguments(argc, argv)); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
