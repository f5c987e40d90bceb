// zmrcheck's entry: prepares the console and runs the checker with the
// command line (in UTF-8 on Windows).
#include "app/check.h"
#include "platform/platform.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  console_init();
  return run_check(argc, console_utf8_arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  console_init();
  return run_check(argc, argv);
}
#endif
