// The entry of zmrcheck and zmrbatch, built once for each: prepares the
// console and runs the program's driver (ZMRGEN_TOOL_RUN, set by the build)
// with the command line, in UTF-8 on Windows.
#include "app/batch.h"
#include "app/check.h"
#include "platform/platform.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  console_init();
  return ZMRGEN_TOOL_RUN(argc, console_utf8_arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  console_init();
  return ZMRGEN_TOOL_RUN(argc, argv);
}
#endif
